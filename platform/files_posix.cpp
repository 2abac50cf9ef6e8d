#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/files.h"

namespace platform {

void make_blocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK); }

bool cut_file(int fd, long long size) { return ::ftruncate(fd, static_cast<off_t>(size)) == 0; }

bool make_folder(const char* path) { return ::mkdir(path, 0755) == 0; }

bool same_file(const char* path, int fd) {
    struct stat at, held;
    return ::lstat(path, &at) == 0 && ::fstat(fd, &held) == 0 && at.st_dev == held.st_dev &&
           at.st_ino == held.st_ino;
}

int lock_exclusive(int fd) {
    int locked = ::flock(fd, LOCK_EX | LOCK_NB);
    while (locked != 0 && errno == EINTR) locked = ::flock(fd, LOCK_EX | LOCK_NB);
    return locked == 0 ? 0 : errno;
}

bool sync_file(int fd) { return ::fsync(fd) == 0; }

bool replace_file(const char* from, const char* to) { return std::rename(from, to) == 0; }

bool place_new_file(const char* from, const char* to) {
    // A second name and the first one taken away: link() never replaces and
    // never follows a link at `to`.
    if (::link(from, to) != 0) return false;
    ::unlink(from);
    // The folder's entry on the disk too, where the file system allows it.
    std::string folder(to);
    const std::size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    return true;
}

bool same_named_file(const char* a, const char* b) {
    struct stat sa, sb;
    return ::stat(a, &sa) == 0 && ::stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace platform
