// The Linux back end of the ASPI front end: the SCSI generic driver.
// Adapters are the (host, channel) pairs that sysfs shows; commands go
// through SG_IO on /dev/sgN, opened exclusively on the first command.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "aspihost/host.h"
#include "aspilinux/kernel.h"
#include "aspilinux/sysfs.h"

namespace aspilinux {

enum : std::uint32_t {
    MAX_ADAPTERS = 8,          // the program scans no more
    MAX_TRANSFER = 64 * 1024,  // the most an adapter inquiry reports
    SG_TIMEOUT_MS = 270000,    // below the program's own 300 s wait
    SMALL_TRANSFER = 4096,     // never refused for its size by any device
};

class SgTarget : public aspihost::Target {
public:
    SgTarget(Kernel& kernel, aspihost::Log& log);

    DWORD support_info() override;
    bool ready() const override { return ok_; }
    bool valid_ha(BYTE ha) override;
    void adapter_inquiry(SRB_HAInquiry& s) override;
    BYTE device_type(const aspihost::Address& at, BYTE& type) override;
    aspihost::Plan accept(const aspihost::Command& c, bool reset) override;
    aspihost::Result execute(const aspihost::Command& c) override;
    aspihost::Result reset(const aspihost::Command& c) override;
    // The device at an address by the kernel's names: "/dev/sg3 (2:0:0:0)";
    // empty when there is none.
    std::string name_of(const aspihost::Address& at);
    // The address of the device that `name` names: its sg node
    // ("/dev/sg3"), its block node ("/dev/sr0") or its H:C:T:L
    // ("2:0:0:0"), each exactly as the kernel writes it; none when no
    // device has that name, after a fresh look at sysfs.
    std::optional<aspihost::Address> address_of(const std::string& name);
    void before_fork() override { mu_.lock(); }
    void after_fork() override { mu_.unlock(); }

private:
    struct Drive {
        Kernel& kernel;
        Node node;
        int adapter = 0;
        std::uint64_t serial = 0;  // the order in which the layer first saw it
        // The address of the drive it is, when that came back under new
        // names: it is answered there, not at its own.
        std::optional<aspihost::Address> follows{};
        bool used = false;  // a command was sent to it
        int fd = -1;
        int block_fd = -1;     // the block node, held while the drive is written
        bool refused = false;  // no permission: the address has no device
        bool told_busy = false;
        std::uint32_t limit = 0;  // longest transfer in bytes; 0 until opened
        ~Drive();
    };
    using DrivePtr = std::shared_ptr<Drive>;

    // A drive in use that left sysfs, as it was last seen; any drive the
    // layer saw first after `last_serial` may be it, come back.
    struct Lost {
        aspihost::Address at;
        Node node;
        std::uint64_t last_serial = 0;
    };

    // A fresh look at sysfs; `gone` is taken for left even if its node
    // is still there.
    void rescan(const DrivePtr& gone = nullptr);
    void follow();
    aspihost::Address address(const Drive& d) const;
    DrivePtr find(const aspihost::Address& at) const;
    // find, and when nothing answers where a drive was lost, a fresh look
    // for it.
    DrivePtr lookup(const aspihost::Address& at);
    BYTE open(Drive& d);
    BYTE hold_block(Drive& d);
    std::string describe(const Drive& d, const std::string& path) const;
    std::string sg_path(const Drive& d) const;
    // "/dev/sg3 (2:0:0:0)"
    std::string names(const Drive& d) const;

    Kernel& kernel_;
    aspihost::Log& log_;
    bool ok_ = false;
    mutable std::mutex mu_;  // the drive table, between the caller and the workers
    std::vector<std::pair<int, int>> adapters_;
    std::map<int, DrivePtr> drives_;  // by sg number
    std::vector<Lost> lost_;
    std::uint64_t serial_ = 0;  // of the drive seen last
};

}  // namespace aspilinux
