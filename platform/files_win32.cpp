#include <direct.h>
#include <io.h>
#include <windows.h>

#include <cerrno>

#include "platform/files.h"

namespace platform {
namespace {

// The number the C library would give for Windows' last error.
int last_errno() {
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return EACCES;
    case ERROR_LOCK_VIOLATION: return EWOULDBLOCK;
    case ERROR_DISK_FULL: return ENOSPC;
    default: return EIO;
    }
}

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// A file's identity: its volume and its index there.
bool identity(HANDLE h, BY_HANDLE_FILE_INFORMATION& info) {
    return h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &info) != 0;
}

}  // namespace

void make_blocking(int) {}

bool cut_file(int fd, long long size) {
    const errno_t e = _chsize_s(fd, size);
    if (e == 0) return true;
    errno = e;
    return false;
}

bool make_folder(const char* path) { return _mkdir(path) == 0; }

bool same_file(const char* path, int fd) {
    HANDLE at =
        CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION a, h;
    const bool same = identity(at, a) && identity(handle_of(fd), h) &&
                      a.dwVolumeSerialNumber == h.dwVolumeSerialNumber &&
                      a.nFileIndexHigh == h.nFileIndexHigh && a.nFileIndexLow == h.nFileIndexLow;
    if (at != INVALID_HANDLE_VALUE) CloseHandle(at);
    return same;
}

int lock_exclusive(int fd) {
    OVERLAPPED from_start = {};
    if (LockFileEx(handle_of(fd), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                   &from_start))
        return 0;
    return last_errno();
}

bool sync_file(int fd) { return _commit(fd) == 0; }

bool replace_file(const char* from, const char* to) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    errno = last_errno();
    return false;
}

}  // namespace platform
