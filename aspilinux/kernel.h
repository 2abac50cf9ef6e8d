// The Linux layer's one way to the system: opening, closing and ioctl on
// device nodes, the reading of sysfs, and the roots of the sysfs and device
// trees, so that tests can stand in for the kernel with trees in a
// temporary folder or in memory and a fake SCSI generic driver.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct stat;

namespace aspilinux {

class Kernel {
public:
    virtual ~Kernel() = default;
    // As the system calls: -1 with errno set on failure.
    virtual int open(const std::string& path, int flags) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void* arg) = 0;
    // "/sys" and "/dev" on a real system.
    virtual std::string sysfs_root() const = 0;
    virtual std::string dev_root() const = 0;

    // sysfs is read with the ordinary file calls, unless a fake holds it
    // in memory. The names in a folder as readdir gives them ("." and ".."
    // among them), none when it cannot be read; what a symbolic link holds,
    // empty when it is none; at most `max` bytes from the start of a file,
    // empty when it cannot be read.
    virtual std::vector<std::string> names(const std::string& dir);
    virtual std::string link(const std::string& path);
    virtual std::string read(const std::string& path, std::size_t max);
    // As stat(2): who owns a node that refused to open.
    virtual int stat(const std::string& path, struct stat& st);
};

// The real system calls on "/sys" and "/dev".
Kernel& system_kernel();

}  // namespace aspilinux
