// Drives behind the Linux SCSI generic driver, without the driver: a umockdev
// testbed with the sysfs tree of each drive (H:C:T:L folder, scsi_generic/sgN,
// block/srN) and its /dev nodes, whose SG_IO is answered by the simulator's
// device model. The process must run under umockdev-wrapper, with the open
// companion (sgopen) preloaded after umockdev's library.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "aspilinux/outcome.h"
#include "aspisim/device.h"

namespace sgdrive {

using aspilinux::DID_TIME_OUT;

struct Drive;

// The n-th command with `opcode` to a drive goes wrong, or slowly, or the
// drive leaves after it.
struct Fault {
    std::uint8_t opcode = 0;
    unsigned long nth = 1;
    // Answered in the header, no data moved (a host status of 0: a transfer
    // cut short that reports GOOD). DID_TIME_OUT comes at once: the time-out
    // the command carries is recorded (Timeouts), not waited out.
    unsigned short host_status = 0;
    int error = 0;  // the ioctl itself fails with this errno
    // And the drive leaves sysfs and /dev; without an error, once the
    // command was answered as the drive answers.
    bool vanish = false;
    // Answered as the drive answers, this long after it came; with `burst`,
    // the program gets four signals back to back as it comes.
    unsigned slow_ms = 0;
    bool burst = false;
    // Once it left, `after_ms` later (0: before the command is answered),
    // `then` is added: with `same`, the drive that left, its flash and
    // version kept (it restarted and came back under new names). Its sg
    // node needs a number of its own: the one that left still answers
    // ENODEV to what has it open.
    std::shared_ptr<const Drive> then{};
    unsigned after_ms = 0;
    bool same = false;
    // And `back_ms` after it left, the drive that left comes back as `back`.
    std::shared_ptr<const Drive> back{};
    unsigned back_ms = 0;
};

struct Drive {
    int host = 0, channel = 0, target = 0, lun = 0;
    int sg = 0;   // /dev/sgN
    int sr = -1;  // /dev/srN, or none
    aspisim::DeviceConf conf;
    int max_bytes = 65536;  // BLKSECTGET
    // The folders above hostH in /sys/devices ("pci0000:00/0000:00:14.0/
    // usb1/1-1/1-1:1.0"); empty: right in it.
    std::string place;
    std::vector<Fault> faults;
};

// A drive of the maker as the simulator's bus describes it.
aspisim::DeviceConf Dravlin(const std::string& product, const std::string& revision, bool medium = false);

class Bed {
public:
    Bed();
    ~Bed();
    Bed(const Bed&) = delete;
    Bed& operator=(const Bed&) = delete;

    void Add(const Drive& drive);
    // Opens of /dev/<node> fail with `error` from now on.
    void Refuse(const std::string& node, int error);
    // Opens /dev/<node> as another program would and keeps it open until the
    // bed goes; the companion makes the driver's exclusive-use rules hold.
    bool Hold(const std::string& node, bool exclusive);

    // Flash of the i-th drive added.
    std::vector<std::uint8_t> Flash(std::size_t i);
    // Requests the bed had no answer for ("0x2285"), each once.
    std::vector<std::string> Unanswered();
    // Every time-out (ms) that SG_IO requests carried.
    std::set<unsigned> Timeouts();
    // Commands that change a drive and came more than once ("3B 04 ..."):
    // each of a transfer is sent once, so a repeat is a resent command.
    std::vector<std::string> Repeated();
    // Where a burst of signals goes: the process of the run in progress.
    void SignalsTo(std::function<int()> process) { process_ = std::move(process); }
    // Threads of that process, other than its first, that could take one
    // of the burst's signals as it came ("tid SigBlk: mask").
    std::vector<std::string> Unblocked();
    std::string root() const { return root_; }

    struct Emulated;

private:
    std::unique_ptr<Emulated> Make(const Drive& drive, std::shared_ptr<aspisim::Device> device);
    bool Answer(Emulated& d, void* client);
    void SgIo(Emulated& d, void* client, void* arg);
    void Vanish(Emulated& d);
    void Arrive(const Fault& f, const Emulated& left);
    void Arrive(const Drive& drive, std::shared_ptr<aspisim::Device> device, unsigned after_ms);

    std::string root_;
    void* testbed_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Emulated>> drives_;
    std::vector<std::string> unanswered_;
    std::set<unsigned> timeouts_;
    std::set<std::string> changing_;
    std::vector<std::string> repeated_;
    std::vector<std::string> unblocked_;
    std::function<int()> process_;
    std::vector<int> held_;
    std::vector<std::thread> arrivals_;
};

}  // namespace sgdrive
