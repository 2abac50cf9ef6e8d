// Drives behind the Linux SCSI generic driver, without the driver: a umockdev
// testbed with the sysfs tree of each drive (H:C:T:L folder, scsi_generic/sgN,
// block/srN) and its /dev nodes, whose SG_IO is answered by the simulator's
// device model. The process must run under umockdev-wrapper, with the open
// companion (sgopen) preloaded after umockdev's library.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "aspilinux/outcome.h"
#include "aspisim/device.h"

namespace sgdrive {

using aspilinux::DID_TIME_OUT;

// The n-th command with `opcode` to a drive goes wrong.
struct Fault {
    std::uint8_t opcode = 0;
    unsigned long nth = 1;
    // Answered in the header, no data moved; DID_TIME_OUT once the
    // command's own time-out is over, as the driver does, and `late_ms`
    // after it (the error handler's aborts and resets take their time).
    unsigned short host_status = 0;
    int error = 0;        // the ioctl itself fails with this errno
    bool vanish = false;  // and the drive leaves sysfs and /dev
    unsigned late_ms = 0;
};

struct Drive {
    int host = 0, channel = 0, target = 0, lun = 0;
    int sg = 0;   // /dev/sgN
    int sr = -1;  // /dev/srN, or none
    aspisim::DeviceConf conf;
    int max_bytes = 65536;  // BLKSECTGET
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
    std::string root() const { return root_; }

    struct Emulated;

private:
    bool Answer(Emulated& d, void* client);
    void SgIo(Emulated& d, void* client, void* arg);
    void Vanish(Emulated& d);

    std::string root_;
    void* testbed_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Emulated>> drives_;
    std::vector<std::string> unanswered_;
    std::vector<int> held_;
};

}  // namespace sgdrive
