// One drive of a bus description served to a real initiator, whatever
// carries its commands (the kernel's user-space SCSI backstore, a USB
// function): the drive model answers each command with what the
// description does to it (`fail`, `hang`, `ignore`, `corrupt`, `swap`,
// `restart`, `moveto`), a line per command goes to the command log and the
// flash to its file after every change. The programs that serve a drive
// share their command line too:
//
//   PROGRAM WHERE BUS HA:TARGET [--log FILE] [--flash FILE]
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "aspisim/busconf.h"
#include "aspisim/device.h"

namespace aspisim {

// How a command ends on the wire.
struct Answer {
    std::uint8_t status = 0;  // SCSI status
    std::vector<std::uint8_t> sense;
    // Bytes of the data the drive did not move (of a command that passed).
    std::uint32_t resid = 0;
};

// The SCSI status and sense of a command the device model ran. A failure of
// the adapter's own (a transfer longer than the data) has no status on the
// wire; the target ends such a command as aborted in its data phase. An
// address without a drive (a restart, a drive moved away) is answered as
// the kernel's target core answers for a logical unit it does not have:
// ILLEGAL REQUEST, LOGICAL UNIT NOT SUPPORTED, at once, so that the time
// the drive is away is its own, not the initiator's time-out.
Answer scsi_answer(const Outcome& o);

struct ServeArgs {
    std::string where;  // what carries the commands: a uio device, a FunctionFS folder
    std::string bus, log, flash;
    int ha = -1, target = -1;
};

// Reads the command line; a wrong one ends the program with `usage`.
// Messages from then on name the program as its first argument does.
ServeArgs serve_args(int argc, char** argv, const char* usage);

// Says why on standard error and ends the program.
[[noreturn]] void die(const std::string& why);

class Server {
public:
    // The drive HA:TARGET of the bus description; ends the program when it
    // cannot be served (no such drive, a log that cannot be opened).
    explicit Server(const ServeArgs& args);
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Carries out one command: `cdb` as received (its first `cdb_len`
    // bytes, the rest 0) with `len` bytes of data at `data`, sent or to be
    // answered. Nothing when the command never completes. The address
    // served is one: a drive that moved away leaves it empty. A CHECK
    // CONDITION's sense is what the REQUEST SENSE after it reports.
    std::optional<Answer> serve(const std::uint8_t (&cdb)[16], std::size_t cdb_len, std::uint8_t* data,
                                std::uint32_t len);

    // A line of the carrier's own in the command log.
    void note(const std::string& line);

private:
    void save_flash();

    ServeArgs args_;
    BusConfig bus_;
    std::optional<Device> device_;
    Address served_;
    int log_ = -1;
};

}  // namespace aspisim
