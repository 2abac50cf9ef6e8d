#include "aspilinux/sgtarget.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <scsi/sg.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "aspilinux/outcome.h"

namespace aspilinux {

namespace {

// WRITE BUFFER and the maker's flash erase and write: from the first of
// them on, the drive is being written.
constexpr BYTE write_opcodes[] = {0x3B, 0xE1, 0xE2};

constexpr std::size_t SENSE_ROOM = 64;

// An address as the program says it.
std::string said(const aspihost::Address& at) {
    return "HA:" + std::to_string(at.ha) + " ID:" + std::to_string(at.target) +
           (at.lun != 0 ? " LUN:" + std::to_string(at.lun) : "");
}

bool writes(BYTE opcode) {
    return std::find(std::begin(write_opcodes), std::end(write_opcodes), opcode) != std::end(write_opcodes);
}

std::string owner_group(Kernel& kernel, const std::string& path) {
    struct stat st;
    if (kernel.stat(path, st) != 0) return "that owns it";
    char buf[1024];
    group g, *found = nullptr;
    if (::getgrgid_r(st.st_gid, &g, buf, sizeof buf, &found) == 0 && found != nullptr)
        return std::string(found->gr_name) + " that owns it";
    return std::to_string(st.st_gid) + " that owns it";
}

}  // namespace

SgTarget::Drive::~Drive() {
    if (fd >= 0) kernel.close(fd);
    if (block_fd >= 0) kernel.close(block_fd);
}

SgTarget::SgTarget(Kernel& kernel, aspihost::Log& log) : kernel_(kernel), log_(log) {
    ok_ = log_.open("ASPILINUX_LOG");
    std::lock_guard<std::mutex> g(mu_);
    rescan();
    if (ok_ && adapters_.empty())
        log_.report("no SCSI generic devices in " + kernel_.sysfs_root() +
                    "/class/scsi_generic (is the sg module loaded? modprobe sg)");
}

// Adapter numbers never move while the layer runs: a pair seen first later
// gets the next free number.
void SgTarget::rescan(const DrivePtr& gone) {
    const std::uint64_t before = serial_;
    std::vector<Node> nodes = scan(kernel_);
    number_adapters(adapters_, nodes, MAX_ADAPTERS);
    std::map<int, DrivePtr> now;
    for (const Node& n : nodes) {
        auto a = std::find(adapters_.begin(), adapters_.end(), std::pair{n.host, n.channel});
        if (a == adapters_.end()) continue;
        auto old = drives_.find(n.sg);
        if (old != drives_.end() && old->second != gone && old->second->node.hctl() == n.hctl()) {
            now[n.sg] = old->second;
        } else {
            auto d = std::shared_ptr<Drive>(new Drive{kernel_, n});
            d->adapter = static_cast<int>(a - adapters_.begin());
            d->serial = ++serial_;
            now[n.sg] = d;
        }
    }
    for (const auto& [sg, d] : drives_) {
        auto kept = now.find(sg);
        if (d->used && (kept == now.end() || kept->second != d))
            lost_.push_back({address(*d), d->node, before});
    }
    drives_.swap(now);
    follow();
}

// A drive that restarts after its firmware was written (a USB drive above
// all) may come back on a new host, under new names: the one drive seen
// since, at its place in the device tree and with its vendor and model,
// takes its address while nothing else is there. Never a drive of
// another identity, and never one of two: a wrong guess would write
// another drive.
void SgTarget::follow() {
    std::erase_if(lost_, [this](const Lost& l) {
        if (l.node.place.empty() || find(l.at)) return true;  // at its address again, or unknowable
        std::vector<DrivePtr> candidates;
        for (const auto& [sg, d] : drives_) {
            const Node& n = d->node;
            if (d->serial > l.last_serial && !d->follows && !d->used && n.place == l.node.place &&
                n.vendor == l.node.vendor && n.model == l.node.model)
                candidates.push_back(d);
        }
        if (candidates.empty()) return false;  // not yet back
        std::string as;
        for (const DrivePtr& d : candidates) as += (as.empty() ? "" : " or ") + names(*d);
        if (candidates.size() > 1) {
            log_.report("the drive at " + said(l.at) + " could have come back as " + as +
                        "; it is not followed");
            return true;
        }
        candidates[0]->follows = l.at;
        log_.report("the drive at " + said(l.at) + " came back as " + as);
        return true;
    });
}

aspihost::Address SgTarget::address(const Drive& d) const {
    return d.follows.value_or(aspihost::Address{d.adapter, d.node.target, d.node.lun});
}

SgTarget::DrivePtr SgTarget::find(const aspihost::Address& at) const {
    for (const auto& [sg, d] : drives_)
        if (address(*d) == at) return d;
    return nullptr;
}

SgTarget::DrivePtr SgTarget::lookup(const aspihost::Address& at) {
    DrivePtr d = find(at);
    if (d || std::none_of(lost_.begin(), lost_.end(), [&](const Lost& l) { return l.at == at; })) return d;
    rescan();
    return find(at);
}

DWORD SgTarget::support_info() {
    if (!ok_) return DWORD{SS_FAILED_INIT} << 8;
    std::lock_guard<std::mutex> g(mu_);
    if (adapters_.empty()) return DWORD{SS_NO_ADAPTERS} << 8;
    return DWORD{SS_COMP} << 8 | static_cast<DWORD>(adapters_.size());
}

bool SgTarget::valid_ha(BYTE ha) {
    std::lock_guard<std::mutex> g(mu_);
    return ha < adapters_.size();
}

void SgTarget::adapter_inquiry(SRB_HAInquiry& s) {
    std::lock_guard<std::mutex> g(mu_);
    s.HA_Count = static_cast<BYTE>(adapters_.size());
    s.HA_SCSI_ID = 7;
    std::string driver =
        read_attribute(kernel_, kernel_.sysfs_root() + "/class/scsi_host/host" +
                                    std::to_string(adapters_[s.SRB_HaId].first) + "/proc_name");
    aspihost::text(s.HA_Identifier, driver.empty() ? "Linux sg" : driver.c_str());
    // A device's own limit is known once it was opened; until then the
    // adapter promises no more than the cap.
    std::uint32_t longest = MAX_TRANSFER;
    for (const auto& [sg, d] : drives_)
        if (address(*d).ha == s.SRB_HaId && d->limit != 0) longest = std::min(longest, d->limit);
    s.HA_Unique[2] = 0x02;  // residual counts reported
    s.HA_Unique[3] = 16;    // targets per bus
    for (int i = 0; i < 4; i++) s.HA_Unique[4 + i] = static_cast<BYTE>(longest >> (8 * i));
}

BYTE SgTarget::device_type(const aspihost::Address& at, BYTE& type) {
    std::lock_guard<std::mutex> g(mu_);
    DrivePtr d = lookup(at);
    if (!d || d->refused || d->node.type < 0) return SS_NO_DEVICE;
    type = static_cast<BYTE>(d->node.type);
    return SS_COMP;
}

// One queue per device: its commands run in order, other devices' beside.
aspihost::Plan SgTarget::accept(const aspihost::Command& c, bool) {
    std::lock_guard<std::mutex> g(mu_);
    DrivePtr d = lookup(c.at);
    aspihost::Plan p;
    p.queue = d ? d->node.sg : -1;
    return p;
}

std::string SgTarget::name_of(const aspihost::Address& at) {
    std::lock_guard<std::mutex> g(mu_);
    DrivePtr d = lookup(at);
    return d ? names(*d) : "";
}

std::optional<aspihost::Address> SgTarget::address_of(const std::string& name) {
    std::lock_guard<std::mutex> g(mu_);
    for (int look = 0; look < 2; look++) {
        if (look == 1) rescan();  // a drive that came since the layer started
        for (const auto& [sg, d] : drives_) {
            const bool block = !d->node.block.empty() && name == kernel_.dev_root() + "/" + d->node.block;
            if (name == sg_path(*d) || name == d->node.hctl() || block) return address(*d);
        }
    }
    return std::nullopt;
}

std::string SgTarget::sg_path(const Drive& d) const {
    return kernel_.dev_root() + "/sg" + std::to_string(d.node.sg);
}

std::string SgTarget::names(const Drive& d) const { return sg_path(d) + " (" + d.node.hctl() + ")"; }

std::string SgTarget::describe(const Drive& d, const std::string& path) const {
    return path + " (" + d.node.hctl() + ", " + d.node.name() + ")";
}

BYTE SgTarget::open(Drive& d) {
    if (d.refused) return SS_NO_DEVICE;
    if (d.fd >= 0) return SS_COMP;
    std::string path = sg_path(d);
    int fd = kernel_.open(path, O_RDWR | O_NONBLOCK | O_EXCL | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        if (e == EACCES || e == EPERM) {
            d.refused = true;
            log_.report("cannot open " + describe(d, path) + ": " + std::strerror(e) +
                        "; run as root, or as a member of the group " + owner_group(kernel_, path));
            return SS_NO_DEVICE;
        }
        if (e == EBUSY) {
            if (!d.told_busy)
                log_.report("the drive " + describe(d, path) +
                            " is in use by another program; close it and try again");
            d.told_busy = true;
            return SS_ASPI_IS_BUSY;
        }
        if (e == ENOENT || e == ENODEV || e == ENXIO) return SS_NO_DEVICE;
        log_.report("cannot open " + describe(d, path) + ": " + std::strerror(e));
        return SS_ERR;
    }
    d.fd = fd;
    d.told_busy = false;
    int bytes = 0;
    if (kernel_.ioctl(fd, BLKSECTGET, &bytes) == 0 && bytes > 0) d.limit = static_cast<std::uint32_t>(bytes);
    return SS_COMP;
}

// A mounted disc holds the block node, and holding it keeps a disc from
// being mounted while the firmware is written.
BYTE SgTarget::hold_block(Drive& d) {
    if (d.block_fd >= 0 || d.node.block.empty()) return SS_COMP;
    std::string path = kernel_.dev_root() + "/" + d.node.block;
    int fd = kernel_.open(path, O_RDONLY | O_NONBLOCK | O_EXCL | O_CLOEXEC);
    if (fd >= 0) {
        d.block_fd = fd;
    } else if (errno == EBUSY) {
        log_.report("the drive " + describe(d, path) +
                    " is in use by another program (a mounted disc?); unmount it and try again");
        return SS_ASPI_IS_BUSY;
    }
    return SS_COMP;  // no block node to hold: nothing can mount it either
}

aspihost::Result SgTarget::execute(const aspihost::Command& c) {
    DrivePtr d;
    int fd = -1;
    bool large = false;
    {
        std::lock_guard<std::mutex> g(mu_);
        d = lookup(c.at);
        if (!d) return aspihost::status_only(SS_ERR, HASTAT_SEL_TO);
        d->used = true;
        BYTE st = open(*d);
        if (st == SS_COMP && writes(c.cdb[0])) st = hold_block(*d);
        if (st != SS_COMP) {
            if (st == SS_NO_DEVICE && !d->refused) rescan(d);
            return aspihost::status_only(st);
        }
        fd = d->fd;
        large = c.len > (d->limit != 0 ? d->limit : std::uint32_t{SMALL_TRANSFER});
    }

    std::uint8_t cdb[16];
    std::memcpy(cdb, c.cdb, sizeof cdb);
    std::uint8_t sense[SENSE_ROOM] = {};
    sg_io_hdr_t h{};
    h.interface_id = 'S';
    bool in = c.flags & SRB_DIR_IN, out = c.flags & SRB_DIR_OUT;
    h.dxfer_direction = c.len == 0  ? SG_DXFER_NONE
                        : in == out ? SG_DXFER_TO_FROM_DEV
                        : in        ? SG_DXFER_FROM_DEV
                                    : SG_DXFER_TO_DEV;
    h.cmd_len = static_cast<unsigned char>(c.cdb_len);
    h.mx_sb_len = sizeof sense;
    h.dxfer_len = c.len;
    h.dxferp = c.len ? c.data : nullptr;
    h.cmdp = cdb;
    h.sbp = sense;
    // A real drive's limit, whatever a simulator's variables say: an error
    // handler that aborts or resets a drive in mid-erase may ruin it.
    h.timeout = SG_TIMEOUT_MS;
    // One try only, never again after an interruption (the worker blocks
    // every signal, so none should come): a repeated WRITE BUFFER or flash
    // write could program the drive twice.
    int err = kernel_.ioctl(fd, SG_IO, &h) < 0 ? errno : 0;
    aspihost::Result r = map_outcome(err, h, large);
    if (r.hastat == HASTAT_DO_DU) {
        log_.report(describe(*d, sg_path(*d)) + ": command " + aspihost::hex(c.cdb, 1) + " moved " +
                    std::to_string(aspihost::moved(c, r)) + " of " + std::to_string(c.len) +
                    " bytes to the drive (a short transfer); it counts as failed");
    }
    if (r.status == SS_NO_DEVICE) {
        std::lock_guard<std::mutex> g(mu_);
        rescan(d);
    }
    return r;
}

aspihost::Result SgTarget::reset(const aspihost::Command& c) {
    DrivePtr d;
    {
        std::lock_guard<std::mutex> g(mu_);
        d = lookup(c.at);
        if (!d) return aspihost::status_only(SS_ERR, HASTAT_SEL_TO);
        d->used = true;
        if (BYTE st = open(*d); st != SS_COMP) return aspihost::status_only(st);
    }
    int what = SG_SCSI_RESET_DEVICE;
    if (kernel_.ioctl(d->fd, SG_SCSI_RESET, &what) < 0) {
        int e = errno;
        log_.report("cannot reset " + describe(*d, sg_path(*d)) + ": " + std::strerror(e) +
                    (e == EACCES || e == EPERM ? "; a device reset needs root" : ""));
        return aspihost::status_only(SS_ERR);
    }
    return aspihost::status_only(SS_COMP);
}

}  // namespace aspilinux
