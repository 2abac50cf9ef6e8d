#include "fwimage/imagefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fwimage/fwtables.h"

namespace fwimage {

ImageFile read_image_file(const char* path) {
    ImageFile f;
    if (strnlen(path, NAME_LIMIT + 1) > NAME_LIMIT) {
        f.error = ENAMETOOLONG;
        return f;
    }
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        f.error = errno;
        return f;
    }
    struct stat st {};
    const bool known = fstat(fd, &st) == 0;
    if (!known || !S_ISREG(st.st_mode)) {
        if (known)
            f.status = FileStatus::not_regular;
        else
            f.error = errno;
        close(fd);
        return f;
    }
    // A regular file reads as usual again: no read may end early for want
    // of data.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    f.status = FileStatus::ok;
    f.size = st.st_size;
    f.bytes.resize(MAX_IMAGE);
    std::size_t got = 0;
    while (got < f.bytes.size()) {
        ssize_t n = read(fd, f.bytes.data() + got, f.bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    f.bytes.resize(got);
    return f;
}

}  // namespace fwimage
