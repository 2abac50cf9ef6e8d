// --backup: a loader-mode drive's whole flash in a new file before the erase,
// so that a transfer that fails leaves the user the firmware the drive had.
#include "tool/backup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/files.h"

std::string BackupName(const char* file, int nth, Drive at) {
    if (nth == 0) return file;
    return std::string(file) + "." + std::to_string(at.ha) + "-" + std::to_string(at.id);
}

std::string SaveBackup(const std::string& path, std::span<const unsigned char> bytes) {
    // Beside it, so that the new name stays within one file system; named
    // only once it is whole and on the disk.
    std::string temp;
    int fd = -1;
    for (int n = 0; n < 100 && fd < 0; n++) {
        temp = path + ".part" + std::to_string(::getpid()) + "." + std::to_string(n);
        fd = ::open(
            temp.c_str(),
            O_WRONLY | O_CREAT | O_EXCL | platform::kNoFollow | platform::kPrivate | platform::kBinary, 0644);
        if (fd < 0 && errno != EEXIST) return std::strerror(errno);
    }
    if (fd < 0) return "no free temporary name beside it";
    std::size_t done = 0;
    int err = 0;
    while (done < bytes.size() && err == 0) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno != EINTR)
            err = errno;
        else if (n == 0)
            err = EIO;
    }
    if (err == 0 && !platform::sync_file(fd)) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && !platform::place_new_file(temp.c_str(), path.c_str())) err = errno;
    if (err == 0) return {};
    ::unlink(temp.c_str());
    return err == EEXIST ? std::string("it exists; a backup never replaces a file") : std::strerror(err);
}
