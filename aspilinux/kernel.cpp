#include "aspilinux/kernel.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/descriptors.h"

namespace aspilinux {

std::vector<std::string> Kernel::names(const std::string& dir) {
    std::vector<std::string> found;
    int fd = platform::above_stdio(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd < 0) return found;
    DIR* d = ::fdopendir(fd);
    if (d == nullptr) {
        ::close(fd);
        return found;
    }
    while (const dirent* e = ::readdir(d)) found.emplace_back(e->d_name);
    ::closedir(d);
    return found;
}

std::string Kernel::link(const std::string& path) {
    char buf[4096];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

std::string Kernel::read(const std::string& path, std::size_t max) {
    int fd = platform::above_stdio(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd < 0) return {};
    std::string s(max, '\0');
    ssize_t n = ::read(fd, s.data(), max);
    ::close(fd);
    s.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return s;
}

int Kernel::stat(const std::string& path, struct stat& st) { return ::stat(path.c_str(), &st); }

}  // namespace aspilinux
