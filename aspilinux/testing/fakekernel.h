// The kernel behind the Linux layer's Kernel seam, in memory, for its
// tests and fuzz targets: a tree of folders, files and symbolic links that
// holds /sys and /dev, resolved as the kernel resolves a path (links
// followed, at most 40 of them; ".." at the root stays there; a link that
// leads out of /sys finds nothing there, as sysfs holds no such link), and
// a SCSI generic driver whose SG_IO is answered by the simulator's drive
// model of each sg node, or by a reply the test scripts.
//
// Every sysfs path the layer reads is checked: it must lie below "/sys"
// and hold no empty, "." or ".." part; `strayed` counts those that do not.
// Everything the layer opens, closes and sends is recorded. Records and
// hooks are under `mu` while a layer's workers run; the tree changes only
// while no command runs.
#pragma once

#include <scsi/sg.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "aspilinux/kernel.h"
#include "aspisim/device.h"

namespace aspilinux_fake {

using Bytes = std::vector<std::uint8_t>;

// An SG_IO answer the test chooses instead of the drive model's.
struct Reply {
    int err = 0;  // the ioctl fails with this errno
    unsigned char status = 0;
    unsigned short host = 0, driver = 0;
    int resid = 0;
    Bytes sense{};       // written into the driver's sense buffer, as far as it holds
    int sense_len = -1;  // what the driver says it wrote; -1: what it did
};

// A SCSI device behind an sg node as the kernel lays it out:
// class/scsi_generic/NAME, whose `device` links to devices/AT, AT being
// PLACE/hostH/targetH:C:T/H:C:T:L (without a place, H:C:T:L alone), which
// holds type, vendor, model and rev (each ending in a newline) and
// block/BLOCK; and the nodes /dev/NAME and /dev/BLOCK. Texts as they stand,
// so that a test can write them otherwise than the kernel does.
struct Node {
    std::string name{};   // "sg0"
    std::string hctl{};   // "0:0:0:0"
    std::string model{};  // "CD-R   QV-G567L"
    std::string type = "5";
    std::string block{};  // "sr0"; empty: none
    std::string place{};  // "pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0"; empty: none
    std::string vendor = "DRAVLIN ";
    std::string rev = "1.00";
};

// A drive model of these texts, cut or padded with blanks to their
// fields, with the flash the simulator gives them.
aspisim::DeviceConf drive_conf(const std::string& vendor, const std::string& product,
                               const std::string& revision, int type = 5, bool medium = false);

// Carries out the command of the header `h` (its CDB in `cdb`, its data at
// `data`, dxfer_len bytes, or none) on `device` and fills the header as the
// driver does: SCSI status, DID_ERROR for an adapter's failure, residual,
// DRIVER_SENSE with the length of the sense bytes, which it answers, at
// most mx_sb_len of them, for the driver's sense buffer.
Bytes answer(aspisim::Device& device, sg_io_hdr_t& h, const std::uint8_t (&cdb)[16], std::uint8_t* data);

class FakeKernel : public aspilinux::Kernel {
public:
    enum Kind { folder, file, symlink };
    static constexpr int ROOT = 0, SYS = 1, DEV = 2;

    FakeKernel() { clear(); }

    // Only "/", "/sys" and "/dev" are left, nothing is recorded or open.
    // The tree's nodes are kept for the next tree to fill, texts and all:
    // a tree laid out again for every fuzz input then allocates almost
    // nothing.
    void clear();
    // A new node `name` in the folder `parent`, or the one of that name
    // already there when it is a folder and a folder is asked for; -1 when
    // the name is none a folder can hold (empty, ".", "..", with '/' or
    // NUL) or taken.
    int add(int parent, Kind kind, const std::string& name, const std::string& content = "");
    // The same by an absolute path, with the folders on the way made as
    // needed; a file's text is replaced.
    int put(const std::string& path, Kind kind, const std::string& content = "");
    // Takes away what is at `path` (not followed), with all below it.
    void remove(const std::string& path);

    // A device comes, answered by `device` (by default a model of the
    // node's texts), or leaves: its sysfs folders and its nodes go, and
    // what has them open is answered ENODEV.
    void plug(const Node& n, std::shared_ptr<aspisim::Device> device = nullptr);
    void leave(const std::string& name);

    // From now on SG_IO waits until release(); wait_held() returns once a
    // call waits.
    void hold();
    void release();
    void wait_held();

    int open(const std::string& path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    std::string sysfs_root() const override { return "/sys"; }
    std::string dev_root() const override { return "/dev"; }
    std::vector<std::string> names(const std::string& dir) override;
    std::string link(const std::string& path) override;
    std::string read(const std::string& path, std::size_t max) override;
    // Owned by root.
    int stat(const std::string& path, struct stat& st) override;

    std::mutex mu;
    // Fault hooks: opens of a path that fail with an errno, the next SG_IO
    // answers, the driver's longest transfer (BLKSECTGET), the errno of a
    // refused reset.
    std::map<std::string, int> open_errors;
    std::deque<Reply> replies;
    int limit = 32768, reset_err = 0;
    // Records: opens (path, flags), descriptors closed, resets asked, and
    // each SG_IO header as it came, with its descriptor.
    std::vector<std::pair<std::string, int>> opens;
    std::vector<int> closed, resets, sg_fds;
    std::vector<sg_io_hdr_t> sg_calls;
    int strayed = 0;

private:
    // A folder's children are a list in the order they came, through
    // `first` and `next`: the tree is one allocation but for long texts.
    struct Entry {
        Kind kind = folder;
        int parent = -1, first = -1, last = -1, next = -1;
        bool gone = false;  // taken out of the tree
        std::string name;
        std::string content;  // a file's bytes, a link's text
        std::shared_ptr<aspisim::Device> device;
    };

    int child(int dir, const char* name, std::size_t n) const;
    int walk(int at, const char* p, const char* end, bool follow_last, int& links) const;
    int find(const std::string& path, bool follow_last) const;
    int asked(const std::string& path, bool follow_last);
    int make(Kind kind, int parent, const std::string& name, const std::string& content);
    void mark_gone(int at);
    int sg_io(aspisim::Device* device, sg_io_hdr_t& h);
    static std::string at(const Node& n);

    std::vector<Entry> entries_;
    std::size_t used_ = 0;    // entries_ beyond are spare
    std::map<int, int> fds_;  // descriptor -> entry
    int next_fd_ = 100;
    std::map<std::string, Node> plugged_;
    std::condition_variable cv_;
    bool hold_ = false;
    int held_ = 0;  // calls waiting
};

}  // namespace aspilinux_fake
