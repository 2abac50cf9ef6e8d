// The Linux ASPI layer WNASPI32: the ASPI front end over the SCSI generic
// driver, reached through the real system calls.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "aspihost/host.h"
#include "aspilinux/kernel.h"
#include "aspilinux/sgtarget.h"
#include "platform/descriptors.h"

namespace aspilinux {

namespace {

class SystemKernel : public Kernel {
public:
    int open(const std::string& path, int flags) override {
        return platform::above_stdio(::open(path.c_str(), flags));
    }
    int close(int fd) override { return ::close(fd); }
    int ioctl(int fd, unsigned long request, void* arg) override { return ::ioctl(fd, request, arg); }
    std::string sysfs_root() const override { return "/sys"; }
    std::string dev_root() const override { return "/dev"; }
};

std::unique_ptr<aspihost::Target> make(aspihost::Log& log) {
    return std::make_unique<SgTarget>(system_kernel(), log);
}

}  // namespace

Kernel& system_kernel() {
    // Never destroyed: the layer's drives close their nodes through it when
    // the process-wide host goes (at exit or unload), which is after the
    // function-local statics made on first use.
    alignas(SystemKernel) static unsigned char storage[sizeof(SystemKernel)];
    static SystemKernel* k = new (storage) SystemKernel;
    return *k;
}

}  // namespace aspilinux

const aspihost::Layer aspihost::layer{"aspilinux", aspilinux::make};
