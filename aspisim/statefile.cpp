#include "aspisim/statefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/descriptors.h"
#include "platform/files.h"

namespace aspisim {

namespace {

std::string sys_error(const std::string& what) { return what + ": " + std::strerror(errno); }

// O_EXCL with O_NOFOLLOW: whatever already sits at the name, a file or a
// link to one, is never opened. A name of this process and a counter, so
// that concurrent savers never share one.
int create_unique(const std::string& base, std::string& name) {
    static std::atomic<unsigned> counter{0};
    for (int tries = 0; tries < 100; tries++) {
        name = base + "." + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".tmp";
        int fd = platform::above_stdio(
            ::open(name.c_str(),
                   O_WRONLY | O_CREAT | O_EXCL | platform::kNoFollow | platform::kPrivate | platform::kBinary,
                   0644));
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// Whether `path` still names the file open at `fd`: a lock on a file that
// was removed or replaced since guards nothing, since the next process
// locks what the name leads to now.
bool names(const std::string& path, int fd) { return platform::same_file(path.c_str(), fd); }

// How often a lock is taken again when its file was replaced meanwhile.
constexpr int LOCK_TRIES = 100;

bool write_all(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

}  // namespace

std::string prepare_state_folder(const std::string& dir) {
    struct stat st;
    if (!platform::make_folder(dir.c_str()) && errno != EEXIST)
        return sys_error("cannot make the state folder " + dir);
    if (::stat(dir.c_str(), &st) != 0) return sys_error("cannot make the state folder " + dir);
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return sys_error("cannot make the state folder " + dir);
    }
    // Permission bits do not tell (root ignores them, a read-only mount
    // does not show in them): only a file actually made proves it.
    std::string probe;
    int fd = create_unique(dir + "/.probe", probe);
    if (fd < 0) return sys_error("cannot write the state folder " + dir);
    ::close(fd);
    ::unlink(probe.c_str());
    return "";
}

LoadResult load_state_file(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& out,
                           std::string& why) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    int fd = platform::above_stdio(::open(path.c_str(), O_RDONLY | platform::kNoFollow | platform::kNoWait |
                                                            platform::kPrivate | platform::kBinary));
    if (fd < 0) {
        if (errno == ENOENT) return LoadResult::missing;
        why = errno == ELOOP ? "a symbolic link, not a saved state; remove it" : std::strerror(errno);
        return LoadResult::refused;
    }
    struct stat st;
    LoadResult result = LoadResult::refused;
    if (::fstat(fd, &st) != 0) {
        why = std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        why = "not a regular file; remove it";
    } else if (static_cast<std::uint64_t>(st.st_size) > limit) {
        why = "larger than a saved state of this drive; remove it";
    } else {
        // As long as the file, and one byte more to see it grown meanwhile;
        // never more than the limit and that byte.
        out.assign(static_cast<std::size_t>(st.st_size) + 1, 0);
        std::size_t got = 0;
        while (got < out.size()) {
            ssize_t n = ::read(fd, out.data() + got, out.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        out.resize(got);
        result = LoadResult::loaded;
    }
    ::close(fd);
    return result;
}

std::string save_state_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::string tmp;
    int fd = create_unique(path, tmp);
    if (fd < 0) return sys_error("cannot save the state " + path);
    bool ok = write_all(fd, bytes.data(), bytes.size()) && platform::sync_file(fd);
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && !platform::replace_file(tmp.c_str(), path.c_str())) {
        ok = false;
        err = errno;
    }
    if (ok) return "";
    ::unlink(tmp.c_str());
    errno = err;
    return sys_error("cannot save the state " + path);
}

LockResult lock_drive(const std::string& lock_path, int& fd, std::string& why) {
    for (int tries = 0; tries < LOCK_TRIES; tries++) {
        fd = platform::above_stdio(::open(lock_path.c_str(),
                                          O_RDWR | O_CREAT | platform::kNoFollow | platform::kNoWait |
                                              platform::kPrivate | platform::kBinary,
                                          0644));
        if (fd < 0) {
            why = sys_error("cannot lock " + lock_path);
            return LockResult::failed;
        }
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            why = lock_path + ": not a regular file; remove it";
            ::close(fd);
            fd = -1;
            return LockResult::failed;
        }
        const int locked = platform::lock_exclusive(fd);
        if (locked == 0 && names(lock_path, fd)) return LockResult::taken;
        const int err = locked != 0 ? locked : errno;
        ::close(fd);
        fd = -1;
        if (locked == 0) continue;  // removed or replaced before it was locked: take the new one
        if (err == EWOULDBLOCK) return LockResult::busy;
        errno = err;
        why = sys_error("cannot lock " + lock_path);
        return LockResult::failed;
    }
    why = "cannot lock " + lock_path + ": it is replaced again and again";
    return LockResult::failed;
}

StateFolder::~StateFolder() {
    for (Drive& dr : drives_)
        if (dr.lock_fd >= 0) ::close(dr.lock_fd);
}

bool StateFolder::open(const std::string& dir, std::size_t count) {
    std::string why = prepare_state_folder(dir);
    if (!why.empty()) {
        report_(why);
        return false;
    }
    dir_ = dir;
    drives_.assign(count, Drive{});
    return true;
}

std::string StateFolder::path(const Device& d, const char* suffix) const {
    return dir_ + "/ha" + std::to_string(d.conf().ha) + "-t" + std::to_string(d.conf().target) + suffix;
}

bool StateFolder::load(std::size_t index, Device& d) {
    if (!d.keeps_state()) return true;
    Drive& dr = drives_[index];
    std::string file = path(d, ".state"), why;
    switch (load_state_file(file, d.state_size(), dr.read, why)) {
    case LoadResult::missing:  // nothing saved: the drive as it starts
        d.start_over();
        dr.kept.clear();
        return true;
    case LoadResult::loaded:
        if (d.load_state(dr.read)) {
            dr.kept.swap(dr.read);
            return true;
        }
        why = "not a saved state of this device (product or flash size differs); remove it";
        break;
    case LoadResult::refused: break;
    }
    report_(file + ": " + why);
    return false;
}

StateFolder::Claim StateFolder::claim(std::size_t index, Device& d) {
    Drive& dr = drives_[index];
    const std::string lock = path(d, ".lock");
    const bool held = dr.lock_fd >= 0;
    if (held && names(lock, dr.lock_fd)) return dr.refused ? Claim::unavailable : Claim::mine;
    // The first claim, or the lock file was removed or replaced while held:
    // another process could lock what the name leads to now, so the drive
    // stays this process's only if it gets that lock too.
    int fd = -1;
    std::string why;
    const LockResult got = lock_drive(lock, fd, why);
    // Nobody can lock what cannot be locked (the folder is gone, say).
    if (held && got == LockResult::failed) return dr.refused ? Claim::unavailable : Claim::mine;
    if (held) ::close(dr.lock_fd);
    dr.lock_fd = fd;
    switch (got) {
    case LockResult::taken:
        dr.refused = !load(index, d);
        return dr.refused ? Claim::unavailable : Claim::mine;
    case LockResult::busy:
        if (!dr.said)
            report_("drive " + std::to_string(d.conf().ha) + ":" + std::to_string(d.conf().target) +
                    " is in use by another process");
        dr.said = true;
        return Claim::in_use;
    case LockResult::failed: break;
    }
    if (!dr.said) report_(why);
    dr.said = true;
    return Claim::unavailable;
}

void StateFolder::save(std::size_t index, Device& d, Outcome& o) {
    Drive& dr = drives_[index];
    std::vector<std::uint8_t> bytes = d.save_state();
    std::string why = save_state_file(path(d, ".state"), bytes);
    if (why.empty()) {
        dr.kept = std::move(bytes);
        return;
    }
    report_(why);
    o = d.roll_back(dr.kept);
}

}  // namespace aspisim
