// The bus description of the simulated ASPI layer: host adapters, devices
// and injected faults, parsed from text (the file named by ASPISIM_BUS) or
// the built-in default bus.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace aspisim {

enum class Flash { none, writebuffer, rom };

struct Address {
    int ha = 0;
    int target = 0;
    bool operator==(const Address&) const = default;
};

// From the nth command it receives on (any opcode), the device answers as
// another drive put at its address: the fields given replace its own.
struct SwapConf {
    unsigned long nth = 1;
    std::optional<std::array<char, 8>> vendor;
    std::optional<std::array<char, 16>> product;
    std::optional<std::array<char, 4>> revision;
};

// What a drive restarting after a commit answers: nothing (an empty
// address), INQUIRY with the revision before the commit, or NOT READY.
enum class RestartAnswer { none, old, notready };
struct RestartConf {
    double seconds = 0;  // as described; the layer's time scale applies
    RestartAnswer answer = RestartAnswer::none;
};

struct DeviceConf {
    int ha = 0;
    int target = 0;
    int type = 5;  // peripheral device type
    std::array<char, 8> vendor;
    std::array<char, 16> product;
    std::array<char, 4> revision;
    bool medium = false;
    Flash flash = Flash::none;
    int line = 0;  // where it was declared; 0 for the built-in bus
    std::optional<SwapConf> swap;
    std::optional<RestartConf> restart;  // after each commit of an image
    std::optional<Address> moveto;       // after its first commit (and restart)
};

// What the description does to one command: fails it with the given
// statuses and sense bytes, never completes it (`hang`), answers GOOD
// without carrying it out (`ignore`), or carries it out with the byte at
// `offset` of its data changed (`corrupt`), or carries it out and moves
// `short_by` bytes fewer than asked (`short`: GOOD, with that residual; the
// bytes it did not move are left as zeros). `restarting` is no statement:
// the drive answers as it does while it restarts.
enum class FaultKind { fail, hang, ignore, corrupt, short_by, restarting };
struct FaultConf {
    int ha = 0;
    int target = 0;
    int opcode = 0;
    unsigned long nth = 1;
    FaultKind kind = FaultKind::fail;
    std::uint32_t offset = 0;      // corrupt; short: the bytes not moved
    std::uint8_t status = 0x04;    // SS_ERR
    std::uint8_t targstat = 0x02;  // CHECK CONDITION
    std::vector<std::uint8_t> sense;
};

struct BusConfig {
    int adapters = 1;
    std::uint8_t support = 0x01;  // SS_COMP
    unsigned latency_ms = 0;
    std::vector<DeviceConf> devices;
    std::vector<FaultConf> faults;
};

// Limits of the statements.
enum : int {
    MAX_ADAPTERS = 255,
    MAX_TARGET = 15,
    ADAPTER_SCSI_ID = 7,  // the adapter's own id; no device may use it
    MAX_SENSE_BYTES = 64,
    // The adapter moves at most 0x10000 bytes a command.
    MAX_DATA_OFFSET = 0xFFFF,
};
constexpr unsigned MAX_LATENCY_MS = 600000;
constexpr unsigned MAX_RESTART_SECONDS = 3600;

struct ParseResult {
    bool ok = false;
    BusConfig config;
    // One line per refused statement: "NAME:LINE: what is wrong".
    std::vector<std::string> errors;
};

// Parses a bus description; `name` only labels the error lines.
ParseResult parse_bus(std::string_view text, std::string_view name);

// Reads and parses a bus description file; a file that cannot be read or
// is longer than a description may be is one error line.
ParseResult read_bus(const char* path);

// Adapter 0: a QV-G567L at target 2 without a disc, a CD-ROM drive of another
// maker at target 4; adapter 1: a disk at target 0.
BusConfig default_bus();

// The flash a device has when the statement names none: the loader mode
// product programs its flash directly, the maker's other drives take WRITE
// BUFFER downloads, other devices have none.
Flash default_flash(const std::array<char, 8>& vendor, const std::array<char, 16>& product);

}  // namespace aspisim
