#include "fwimage/imagefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fwimage/fwtables.h"

namespace fwimage {
namespace {

#ifdef _WIN32
// Bytes as they are (no text-mode translation), not inherited by children.
// Opening a named pipe or a device here never waits for a writer.
int open_unblocked(const char* path) { return open(path, O_RDONLY | O_BINARY | O_NOINHERIT); }
void make_blocking(int) {}
// Windows cannot open a folder at all: asked first, a folder is what it is
// (not "cannot be opened"), as everywhere else.
bool not_regular_by_name(const char* path, bool& directory) {
    struct stat st {};
    if (stat(path, &st) != 0 || S_ISREG(st.st_mode)) return false;
    directory = S_ISDIR(st.st_mode);
    return true;
}
#else
int open_unblocked(const char* path) { return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC); }
// The descriptor tells, once open without waiting.
bool not_regular_by_name(const char*, bool&) { return false; }
// A regular file reads as usual again: no read may end early for want of
// data.
void make_blocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK); }
#endif

}  // namespace

ImageFile read_image_file(const char* path) {
    ImageFile f;
    if (strnlen(path, NAME_LIMIT + 1) > NAME_LIMIT) {
        f.error = ENAMETOOLONG;
        return f;
    }
    if (not_regular_by_name(path, f.directory)) {
        f.status = FileStatus::not_regular;
        return f;
    }
    int fd = open_unblocked(path);
    if (fd < 0) {
        f.error = errno;
        return f;
    }
    struct stat st {};
    const bool known = fstat(fd, &st) == 0;
    if (!known || !S_ISREG(st.st_mode)) {
        if (known) {
            f.status = FileStatus::not_regular;
            f.directory = S_ISDIR(st.st_mode);
        } else
            f.error = errno;
        close(fd);
        return f;
    }
    make_blocking(fd);
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
