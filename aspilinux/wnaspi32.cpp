// The Linux ASPI layer WNASPI32: the ASPI front end over the SCSI generic
// driver, reached through the real system calls.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <string>

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
    // A person must know these are the machine's own drives, not simulated.
    log.report("using the drives of this machine through the SCSI generic driver");
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

namespace {

aspilinux::SgTarget& sg_target() { return static_cast<aspilinux::SgTarget&>(aspihost::instance_target()); }

}  // namespace

// Optional, looked up by name by a program that shows or takes the
// kernel's names of its drives (another layer has none of these).
//
// The device at an ASPI address as "/dev/sgN (H:C:T:L)" in `text`, cut to
// `size` bytes with its terminating zero (nothing is written when size is
// below 1): the length of the whole text, or -1 when there is no device
// there.
ASPI_EXPORT int ASPI_CALL aspilinux_device_name(int ha, int target, int lun, char* text, int size) {
    const std::string name = sg_target().name_of({ha, target, lun});
    if (name.empty()) return -1;
    if (text != nullptr && size > 0) {
        const std::size_t n = std::min(name.size(), static_cast<std::size_t>(size) - 1);
        name.copy(text, n);
        text[n] = '\0';
    }
    return static_cast<int>(name.size());
}

// The ASPI address of the device that `name` names (/dev/sgN, /dev/srN or
// H:C:T:L, as the kernel writes them): 1 with the address filled in, 0
// when no device has that name.
ASPI_EXPORT int ASPI_CALL aspilinux_device_address(const char* name, int* ha, int* target, int* lun) {
    if (name == nullptr || ha == nullptr || target == nullptr || lun == nullptr) return 0;
    const std::optional<aspihost::Address> at = sg_target().address_of(name);
    if (!at) return 0;
    *ha = at->ha;
    *target = at->target;
    *lun = at->lun;
    return 1;
}
