#include "platform/descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

int above_stdio(int fd) {
    if (fd < 0 || fd > 2) return fd;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int err = errno;
    ::close(fd);
    errno = err;
    return moved;
}

}  // namespace platform
