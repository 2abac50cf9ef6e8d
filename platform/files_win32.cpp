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

HANDLE open_name(const char* path, DWORD flags) {
    return CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

bool same_identity(HANDLE x, HANDLE y) {
    BY_HANDLE_FILE_INFORMATION a, b;
    return identity(x, a) && identity(y, b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
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
    HANDLE at = open_name(path, FILE_FLAG_OPEN_REPARSE_POINT);
    const bool same = same_identity(at, handle_of(fd));
    if (at != INVALID_HANDLE_VALUE) CloseHandle(at);
    return same;
}

bool same_named_file(const char* a, const char* b) {
    HANDLE x = open_name(a, 0), y = open_name(b, 0);
    const bool same = same_identity(x, y);
    if (x != INVALID_HANDLE_VALUE) CloseHandle(x);
    if (y != INVALID_HANDLE_VALUE) CloseHandle(y);
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

bool place_new_file(const char* from, const char* to) {
    // Without MOVEFILE_REPLACE_EXISTING the move fails on an existing name.
    if (MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH)) return true;
    errno =
        GetLastError() == ERROR_ALREADY_EXISTS || GetLastError() == ERROR_FILE_EXISTS ? EEXIST : last_errno();
    return false;
}

bool replace_file(const char* from, const char* to) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    errno = last_errno();
    return false;
}

}  // namespace platform
