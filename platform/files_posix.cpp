#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

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

}  // namespace platform
