// Opening files in the ASPI layers the same way on every host: the flags
// that differ, and the calls whose Windows twins differ from POSIX's.
#pragma once

#include <fcntl.h>

namespace platform {

// kPrivate: not inherited by children. kBinary: bytes as they are, where a
// text file would have its CR LF read as LF (Windows' text mode). Windows
// has no FIFO that an open waits on, no link that a plain open follows and
// no terminal that an open makes the process's own, so nothing stands there
// for O_NONBLOCK (kNoWait), O_NOFOLLOW (kNoFollow) or O_NOCTTY (kNoTerminal).
#ifdef _WIN32
inline constexpr int kPrivate = O_NOINHERIT;
inline constexpr int kBinary = O_BINARY;
inline constexpr int kNoFollow = 0;
inline constexpr int kNoWait = 0;
inline constexpr int kNoTerminal = 0;
#else
inline constexpr int kPrivate = O_CLOEXEC;
inline constexpr int kBinary = 0;
inline constexpr int kNoFollow = O_NOFOLLOW;
inline constexpr int kNoWait = O_NONBLOCK;
inline constexpr int kNoTerminal = O_NOCTTY;
#endif

// Clears what kNoWait set, once the file proved to be one whose writes
// must not end early.
void make_blocking(int fd);
// Cuts the file at `fd` to `size` bytes; false with errno set.
bool cut_file(int fd, long long size);
// Makes a folder that only its owner may change; false with errno set.
bool make_folder(const char* path);
// Whether `path` names the file open at `fd` (not one that replaced it).
bool same_file(const char* path, int fd);
// An exclusive lock on the whole file at `fd` without waiting, which the
// system drops when the process ends: 0, EWOULDBLOCK while another process
// holds it, or the error.
int lock_exclusive(int fd);
// Puts what was written to `fd` on the disk; false with errno set.
bool sync_file(int fd);
// Gives `from` the name `to`, replacing what had it in one step, so that a
// reader sees the old file or the new one; false with errno set.
bool replace_file(const char* from, const char* to);
// Gives `from` the name `to` only while nothing has that name (not even a
// symbolic link), and puts the new name on the disk; false with errno set
// (EEXIST: something has it).
bool place_new_file(const char* from, const char* to);
// Whether two names lead to one file (links followed); false when either
// leads nowhere.
bool same_named_file(const char* a, const char* b);

}  // namespace platform
