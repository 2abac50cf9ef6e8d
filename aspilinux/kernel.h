// The Linux layer's one way to the system: opening, closing and ioctl on
// device nodes, and the roots of the sysfs and device trees, so that tests
// can stand in for the kernel with trees in a temporary folder and a fake
// SCSI generic driver.
#pragma once

#include <string>

namespace aspilinux {

class Kernel {
public:
    virtual ~Kernel() = default;
    // As the system calls: -1 with errno set on failure.
    virtual int open(const std::string& path, int flags) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void* arg) = 0;
    // "/sys" and "/dev" on a real system; sysfs is read below the first
    // with the ordinary file calls.
    virtual std::string sysfs_root() const = 0;
    virtual std::string dev_root() const = 0;
};

// The real system calls on "/sys" and "/dev".
Kernel& system_kernel();

}  // namespace aspilinux
