// The USB mass-storage Bulk-Only Transport of a drive, apart from the
// kernel's FunctionFS that carries it (simusb.cpp): the function's
// descriptors and strings as FunctionFS takes them, the command block
// wrapper as it arrives and how a command ends (its data phase and its
// status wrapper), and the interface's class requests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "aspisim/serving.h"

namespace aspisim::bot {

enum : std::uint32_t {
    CBW_BYTES = 31,
    CSW_BYTES = 13,
    // The most data one command may move. The host's own limit (its
    // transfers through the SCSI generic driver) is far below it; a command
    // block that asks for more is refused before anything is kept.
    MAX_TRANSFER = 1 << 20,
};

// The function's descriptors (one interface of class 8, subclass 6,
// protocol 0x50 with a bulk IN and a bulk OUT endpoint, at full and high
// speed) and its strings, in FunctionFS's formats. Its endpoint files are
// ep1 (IN) and ep2 (OUT), in the order of the descriptors.
std::vector<std::uint8_t> descriptors();
std::vector<std::uint8_t> strings();

struct Cbw {
    std::uint32_t tag = 0;
    std::uint32_t length = 0;  // of the data phase
    bool in = false;           // data from the drive to the host
    std::uint8_t lun = 0;
    std::uint8_t cdb[16] = {};  // its first cdb_len bytes as sent, the rest 0
    std::size_t cdb_len = 0;
};

enum class CswStatus : std::uint8_t { passed = 0, failed = 1, phase_error = 2 };

// What came where a command block wrapper was due. Not `valid`: not 31
// bytes or without its signature; the drive halts both pipes until the host
// resets it. Not `meaningful` (a logical unit but 0, a command block of no
// or more than 16 bytes, a flag but the direction, more data than
// MAX_TRANSFER): ended at once with a phase error, its data phase halted.
struct Received {
    bool valid = false;
    bool meaningful = false;
    Cbw cbw;
    std::string why;  // when it is not both
};
Received receive(const std::uint8_t* bytes, std::size_t n);

// How a command ends after its command block: the bytes of its data the
// drive sends (data in), whether the pipe of its data phase is then halted
// (the host wanted more than the drive moves and no short packet can say
// so, or a command that was refused), and its status wrapper's contents.
struct Ending {
    std::uint32_t send = 0;
    bool halt = false;
    CswStatus status = CswStatus::passed;
    std::uint32_t residue = 0;
};
// `max_packet` is the bulk endpoints' packet size at the speed in use.
Ending ending(const Cbw& c, const Answer& a, std::uint32_t max_packet);
// A command block that is not meaningful.
Ending refused(const Cbw& c);

std::array<std::uint8_t, CSW_BYTES> csw(std::uint32_t tag, const Ending& e);

// A request on the control pipe to the interface, as FunctionFS gives it.
struct Request {
    std::uint8_t request_type = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0, index = 0, length = 0;
};
// Get Max LUN (one byte: 0), Bulk-Only Mass Storage Reset, or a request
// the drive does not know, which it stalls.
enum class Control { max_lun, reset, stall };
Control control(const Request& r);

}  // namespace aspisim::bot
