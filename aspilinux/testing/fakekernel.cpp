#include "aspilinux/testing/fakekernel.h"

#include <linux/fs.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "aspilinux/outcome.h"
#include "aspisim/busconf.h"

namespace aspilinux_fake {

namespace {

constexpr int MAX_LINKS = 40;
enum : unsigned short { DID_ERROR = 0x07 };

template <std::size_t N>
std::array<char, N> field(const std::string& text) {
    std::array<char, N> a;
    a.fill(' ');
    std::memcpy(a.data(), text.data(), std::min(text.size(), N));
    return a;
}

// Plain loops rather than the string classes' own members: those are
// instrumented where they are expanded, and in a fuzz build their
// comparison tracing made the fake cost more than the discovery it serves.
bool same(const std::string& a, const char* b, std::size_t n) {
    if (a.size() != n) return false;
    const char* p = a.data();
    for (std::size_t i = 0; i < n; i++)
        if (p[i] != b[i]) return false;
    return true;
}

}  // namespace

aspisim::DeviceConf drive_conf(const std::string& vendor, const std::string& product,
                               const std::string& revision, int type, bool medium) {
    aspisim::DeviceConf c;
    c.type = type;
    c.vendor = field<8>(vendor);
    c.product = field<16>(product);
    c.revision = field<4>(revision);
    c.medium = medium;
    c.flash = aspisim::default_flash(c.vendor, c.product);
    return c;
}

Bytes answer(aspisim::Device& device, sg_io_hdr_t& h, const std::uint8_t (&cdb)[16], std::uint8_t* data) {
    const aspisim::Outcome o = device.execute(cdb, data, data ? h.dxfer_len : 0);
    h.status = o.targstat;
    h.masked_status = static_cast<unsigned char>((o.targstat >> 1) & 0x7F);
    h.msg_status = 0;
    h.host_status = o.hastat == HASTAT_OK ? std::uint16_t{aspilinux::DID_OK} : std::uint16_t{DID_ERROR};
    h.resid = static_cast<int>(o.resid);
    h.duration = 1;
    Bytes sense(o.sense.begin(), o.sense.begin() + std::min<std::size_t>(o.sense.size(), h.mx_sb_len));
    h.sb_len_wr = static_cast<unsigned char>(sense.size());
    h.driver_status = sense.empty() ? aspilinux::DRIVER_OK : aspilinux::DRIVER_SENSE;
    h.info = (h.status | h.host_status | h.driver_status) ? SG_INFO_CHECK : SG_INFO_OK;
    return sense;
}

void FakeKernel::clear() {
    for (Entry& e : entries_) e.device.reset();
    used_ = 0;
    make(folder, ROOT, "", "");
    add(ROOT, folder, "sys");
    add(ROOT, folder, "dev");
    strayed = 0;
    opens.clear();
    closed.clear();
    resets.clear();
    sg_fds.clear();
    sg_calls.clear();
    fds_.clear();
    plugged_.clear();
}

int FakeKernel::add(int parent, Kind kind, const std::string& name, const std::string& content) {
    if (parent < 0 || entries_[parent].kind != folder || name.empty() || same(name, ".", 1) ||
        same(name, "..", 2))
        return -1;
    for (char c : name)
        if (c == '/' || c == '\0') return -1;
    if (int had = child(parent, name.data(), name.size()); had >= 0)
        return kind == folder && entries_[had].kind == folder ? had : -1;
    int at = make(kind, parent, name, content);
    Entry& p = entries_[parent];
    (p.last < 0 ? p.first : entries_[p.last].next) = at;
    p.last = at;
    return at;
}

int FakeKernel::put(const std::string& path, Kind kind, const std::string& content) {
    int at = ROOT;
    std::size_t from = 1;
    for (std::size_t cut; (cut = path.find('/', from)) != std::string::npos; from = cut + 1)
        at = add(at, folder, path.substr(from, cut - from));
    const std::string name = path.substr(from);
    if (int had = at < 0 ? -1 : child(at, name.data(), name.size()); had >= 0 && entries_[had].kind == file)
        return entries_[had].content = content, had;
    return add(at, kind, name, content);
}

void FakeKernel::remove(const std::string& path) {
    const int at = find(path, false);
    if (at <= DEV) return;
    Entry& p = entries_[entries_[at].parent];
    int before = -1;
    for (int c = p.first; c != at; c = entries_[c].next) before = c;
    (before < 0 ? p.first : entries_[before].next) = entries_[at].next;
    if (p.last == at) p.last = before;
    mark_gone(at);
}

void FakeKernel::mark_gone(int at) {
    entries_[at].gone = true;
    for (int c = entries_[at].first; c >= 0; c = entries_[c].next) mark_gone(c);
}

// The device's folder below devices/.
std::string FakeKernel::at(const Node& n) {
    if (n.place.empty()) return n.hctl;
    return n.place + "/host" + n.hctl.substr(0, n.hctl.find(':')) + "/target" +
           n.hctl.substr(0, n.hctl.rfind(':')) + "/" + n.hctl;
}

void FakeKernel::plug(const Node& n, std::shared_ptr<aspisim::Device> device) {
    const std::string dev = "/sys/devices/" + at(n);
    put(dev + "/type", file, n.type + "\n");
    put(dev + "/vendor", file, n.vendor + "\n");
    put(dev + "/model", file, n.model + "\n");
    put(dev + "/rev", file, n.rev + "\n");
    if (!n.block.empty()) {
        put(dev + "/block/" + n.block, folder);
        put("/dev/" + n.block, file);
    }
    put("/sys/class/scsi_generic/" + n.name + "/device", symlink, "../../../devices/" + at(n));
    const int node = put("/dev/" + n.name, file);
    if (node < 0) return;
    if (!device) {
        // A type the kernel would not write is a drive's to the model.
        const long type = std::strtol(n.type.c_str(), nullptr, 10);
        device = std::make_shared<aspisim::Device>(
            drive_conf(n.vendor, n.model, n.rev, type >= 0 && type <= 0x1F ? int(type) : 5));
    }
    entries_[node].device = std::move(device);
    plugged_[n.name] = n;
}

void FakeKernel::leave(const std::string& name) {
    auto it = plugged_.find(name);
    if (it == plugged_.end()) return;
    const Node n = it->second;
    plugged_.erase(it);
    remove("/sys/devices/" + at(n));
    remove("/sys/class/scsi_generic/" + name);
    remove("/dev/" + name);
    if (!n.block.empty()) remove("/dev/" + n.block);
}

void FakeKernel::hold() {
    std::lock_guard<std::mutex> g(mu);
    hold_ = true;
}

void FakeKernel::release() {
    std::lock_guard<std::mutex> g(mu);
    hold_ = false;
    cv_.notify_all();
}

void FakeKernel::wait_held() {
    std::unique_lock<std::mutex> g(mu);
    cv_.wait(g, [this] { return held_ > 0; });
}

int FakeKernel::open(const std::string& path, int flags) {
    std::lock_guard<std::mutex> g(mu);
    opens.emplace_back(path, flags);
    if (auto e = open_errors.find(path); e != open_errors.end()) return errno = e->second, -1;
    const int at = find(path, true);
    if (at < 0) return errno = ENOENT, -1;
    fds_[next_fd_] = at;
    return next_fd_++;
}

int FakeKernel::close(int fd) {
    std::lock_guard<std::mutex> g(mu);
    closed.push_back(fd);
    return fds_.erase(fd) ? 0 : (errno = EBADF, -1);
}

int FakeKernel::ioctl(int fd, unsigned long request, void* arg) {
    std::unique_lock<std::mutex> g(mu);
    if (!fds_.count(fd)) return errno = EBADF, -1;
    if (request == SG_IO) {
        sg_calls.push_back(*static_cast<sg_io_hdr_t*>(arg));
        sg_fds.push_back(fd);
        if (hold_) {
            held_++;
            cv_.notify_all();
            cv_.wait(g, [this] { return !hold_; });
            held_--;
        }
    }
    Entry& node = entries_[fds_.at(fd)];
    if (node.gone) return errno = ENODEV, -1;
    switch (request) {
    case BLKSECTGET: return *static_cast<int*>(arg) = limit, 0;
    case SG_SCSI_RESET:
        resets.push_back(*static_cast<int*>(arg));
        if (reset_err) return errno = reset_err, -1;
        if (node.device) node.device->reset();
        return 0;
    case SG_IO: return sg_io(node.device.get(), *static_cast<sg_io_hdr_t*>(arg));
    default: return errno = ENOTTY, -1;
    }
}

int FakeKernel::sg_io(aspisim::Device* device, sg_io_hdr_t& h) {
    auto* data = static_cast<std::uint8_t*>(h.dxfer_len ? h.dxferp : nullptr);
    auto* sense = static_cast<std::uint8_t*>(h.sbp);
    const std::size_t room = sense ? h.mx_sb_len : 0;
    if (!replies.empty()) {
        const Reply r = replies.front();
        replies.pop_front();
        // The driver's buffers are touched to their full sizes, for the
        // sanitizers to see.
        if (data && h.dxfer_direction != SG_DXFER_TO_DEV) std::memset(data, 0x5A, h.dxfer_len);
        if (room) std::memset(sense, 0, room);
        if (r.err) return errno = r.err, -1;
        const std::size_t wrote = std::min(r.sense.size(), room);
        if (wrote) std::memcpy(sense, r.sense.data(), wrote);
        h.status = r.status;
        h.masked_status = static_cast<unsigned char>((r.status >> 1) & 0x7F);
        h.host_status = r.host;
        h.driver_status = r.driver;
        h.resid = r.resid;
        h.sb_len_wr = static_cast<unsigned char>(r.sense_len < 0 ? wrote : std::size_t(r.sense_len));
        return 0;
    }
    if (!device) return errno = ENOTTY, -1;
    if (h.cmd_len == 0 || h.cmd_len > 16) return errno = EMSGSIZE, -1;
    std::uint8_t cdb[16] = {};
    std::memcpy(cdb, h.cmdp, h.cmd_len);
    const Bytes got = answer(*device, h, cdb, data);
    if (!got.empty() && room) std::memcpy(sense, got.data(), std::min(got.size(), room));
    return 0;
}

std::vector<std::string> FakeKernel::names(const std::string& dir) {
    int at = asked(dir, true);
    if (at < 0 || entries_[at].kind != folder) return {};
    std::vector<std::string> found = {".", ".."};
    for (int c = entries_[at].first; c >= 0; c = entries_[c].next) found.push_back(entries_[c].name);
    return found;
}

std::string FakeKernel::link(const std::string& path) {
    int at = asked(path, false);
    return at >= 0 && entries_[at].kind == symlink ? entries_[at].content : "";
}

std::string FakeKernel::read(const std::string& path, std::size_t max) {
    int at = asked(path, true);
    return at >= 0 && entries_[at].kind == file ? entries_[at].content.substr(0, max) : "";
}

int FakeKernel::stat(const std::string& path, struct stat& st) {
    std::lock_guard<std::mutex> g(mu);
    const int at = find(path, true);
    if (at < 0) return errno = ENOENT, -1;
    st = {};
    st.st_mode = entries_[at].kind == folder ? S_IFDIR | 0755 : S_IFREG | 0660;
    return 0;
}

int FakeKernel::child(int dir, const char* name, std::size_t n) const {
    for (int c = entries_[dir].first; c >= 0; c = entries_[c].next)
        if (same(entries_[c].name, name, n)) return c;
    return -1;
}

// The entry a path leads to from the folder `at`; -1 when there is none.
// A link leads only to what lies in /sys.
int FakeKernel::walk(int at, const char* p, const char* end, bool follow_last, int& links) const {
    if (p < end && *p == '/') at = ROOT;
    while (p < end) {
        const char* cut = p;
        while (cut < end && *cut != '/') cut++;
        const std::size_t n = static_cast<std::size_t>(cut - p);
        const char* part = p;
        p = cut < end ? cut + 1 : end;
        if (n == 0 || (n == 1 && part[0] == '.')) continue;
        if (entries_[at].kind != folder) return -1;
        if (n == 2 && part[0] == '.' && part[1] == '.') {
            at = entries_[at].parent;
            continue;
        }
        int next = child(at, part, n);
        if (next < 0) return -1;
        bool more = false;
        for (const char* q = p; q < end && !more; q++) more = *q != '/';
        if (entries_[next].kind == symlink && (follow_last || more)) {
            if (++links > MAX_LINKS) return -1;
            const std::string& to = entries_[next].content;
            next = walk(at, to.data(), to.data() + to.size(), true, links);
            int up = next;
            while (up > SYS) up = entries_[up].parent;
            if (up != SYS) return -1;
        }
        at = next;
    }
    return at;
}

int FakeKernel::find(const std::string& path, bool follow_last) const {
    int links = 0;
    return walk(ROOT, path.data(), path.data() + path.size(), follow_last, links);
}

// What the layer reads of sysfs: counted when it strays, then resolved.
int FakeKernel::asked(const std::string& path, bool follow_last) {
    const char* p = path.data();
    const char* end = p + path.size();
    bool below = path.size() > 5 && p[0] == '/' && p[1] == 's' && p[2] == 'y' && p[3] == 's' && p[4] == '/';
    for (const char* q = p + 5; below && q <= end;) {
        const char* cut = q;
        while (cut < end && *cut != '/') cut++;
        const std::size_t n = static_cast<std::size_t>(cut - q);
        below = n > 0 && !(n == 1 && q[0] == '.') && !(n == 2 && q[0] == '.' && q[1] == '.');
        q = cut + 1;
    }
    if (!below) strayed++;
    return find(path, follow_last);
}

int FakeKernel::make(Kind kind, int parent, const std::string& name, const std::string& content) {
    if (used_ == entries_.size()) entries_.emplace_back();
    Entry& n = entries_[used_];
    n.kind = kind;
    n.parent = parent;
    n.first = n.last = n.next = -1;
    n.gone = false;
    n.name.assign(name);
    n.content.assign(content);
    n.device.reset();
    return static_cast<int>(used_++);
}

}  // namespace aspilinux_fake
