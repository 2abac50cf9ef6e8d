// The open companion of the testbed: open failures and the drivers' rules of
// exclusive use for the emulated /dev/sgN and /dev/srN (see sgopen.h).
#include "tests/sgdrive/sgopen.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The node name ("sg0", "sr1") when path is an emulated node, else null.
const char* Node(const char* path) {
    if (std::getenv("UMOCKDEV_DIR") == nullptr || path == nullptr) return nullptr;
    if (std::strncmp(path, "/dev/s", 6) != 0 || (path[6] != 'g' && path[6] != 'r') || path[7] < '0' ||
        path[7] > '9')
        return nullptr;
    return path + 5;
}

using OpenFn = int (*)(const char*, int, ...);

OpenFn Next(const char* name) { return reinterpret_cast<OpenFn>(dlsym(RTLD_NEXT, name)); }

// The errno the rules file names for node, or 0.
int Refusal(const char* node) {
    static OpenFn real_open = Next("open");
    char path[4096];
    std::snprintf(path, sizeof path, "%s/%s", std::getenv("UMOCKDEV_DIR"), sgdrive::kRulesFile);
    int fd = real_open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[4096];
    ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    text[got > 0 ? got : 0] = '\0';
    std::size_t len = std::strlen(node);
    for (char* line = text; line != nullptr && *line; line = std::strchr(line, '\n')) {
        line += *line == '\n';
        if (std::strncmp(line, node, len) == 0 && line[len] == ' ') return std::atoi(line + len + 1);
    }
    return 0;
}

// Applies the exclusive-use rules to a node just opened.
int Claim(int fd, const char* node, int flags) {
    if (fd < 0) return fd;
    bool sg = node[1] == 'g';
    int op = (flags & O_EXCL) ? LOCK_EX : sg ? LOCK_SH : 0;
    if (op != 0 && flock(fd, op | LOCK_NB) != 0) {
        close(fd);
        errno = EBUSY;
        return -1;
    }
    return fd;
}

template <class Call>
int Open(const char* path, int flags, Call call) {
    const char* node = Node(path);
    if (node == nullptr) return call();
    if (int error = Refusal(node)) {
        errno = error;
        return -1;
    }
    return Claim(call(), node, flags);
}

mode_t ModeArg(int flags, va_list ap) {
    return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

}  // namespace

#define SGOPEN_WRAP(name)                                                  \
    extern "C" int name(const char* path, int flags, ...) {                \
        static OpenFn real = Next(#name);                                  \
        va_list ap;                                                        \
        va_start(ap, flags);                                               \
        mode_t mode = ModeArg(flags, ap);                                  \
        va_end(ap);                                                        \
        return Open(path, flags, [&] { return real(path, flags, mode); }); \
    }
SGOPEN_WRAP(open)
SGOPEN_WRAP(open64)

#define SGOPEN_WRAP_AT(name)                                                      \
    extern "C" int name(int dirfd, const char* path, int flags, ...) {            \
        using AtFn = int (*)(int, const char*, int, ...);                         \
        static AtFn real = reinterpret_cast<AtFn>(dlsym(RTLD_NEXT, #name));       \
        va_list ap;                                                               \
        va_start(ap, flags);                                                      \
        mode_t mode = ModeArg(flags, ap);                                         \
        va_end(ap);                                                               \
        return Open(path, flags, [&] { return real(dirfd, path, flags, mode); }); \
    }
SGOPEN_WRAP_AT(openat)
SGOPEN_WRAP_AT(openat64)

// The fortified entry points the compiler calls for open() without a mode.
#define SGOPEN_WRAP_2(name)                                             \
    extern "C" int name(const char* path, int flags) {                  \
        using Fn = int (*)(const char*, int);                           \
        static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, #name)); \
        return Open(path, flags, [&] { return real(path, flags); });    \
    }
SGOPEN_WRAP_2(__open_2)
SGOPEN_WRAP_2(__open64_2)
