// A transcript: what a program asked of an ASPI layer and what the layer
// answered, request block by request block, as text a person reads and
// diffs and a layer replays. The writer's pieces (the header, a request
// line, an outcome with its data) and the reader, a pure function over text.
//
//   transcript 1
//   program "qvupdate 1.21"
//   layer aspisim 1.21
//   date 2025-01-31T09:15:02Z
//   support status=0x01 adapters=1
//   adapter 0 count=1 id=7 identifier="ASPISIM         " unique=0000001000...
//   1 exec 0 2 0 dir=in len=96 cdb=120000006000
//   1 done status=0x01 hastat=0x00 targstat=0x00 seconds=0.000042
//   1 data 0000 0580000251000000445241564C494E20...
//
// Requests are numbered from 1 in the order they came; an outcome line
// carries its request's number, since a command may end after later
// requests came (or never). Returned data follows its outcome, 32 bytes a
// line after their offset.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/aspi.h"

namespace aspihost {

struct Address {
    int ha = 0;
    int target = 0;
    int lun = 0;
    bool operator==(const Address&) const = default;
};

enum class RequestKind { hainquiry, devtype, exec, abort, reset };

// The direction flags of an exec: neither (the target decides), in, out, both.
enum class Direction { none, in, out, both };
Direction direction(BYTE flags);

// A request block as it came, in the terms the transcript keeps.
struct Request {
    RequestKind kind = RequestKind::exec;
    Address at;  // hainquiry and abort: the adapter alone
    std::vector<std::uint8_t> cdb;
    Direction dir = Direction::none;
    std::uint32_t len = 0;
    std::optional<std::uint32_t> crc;   // CRC-32 of the data sent
    std::optional<std::size_t> aborts;  // abort: the number of the command it takes back
    bool operator==(const Request&) const = default;
};

// How a request ended; a kind keeps only its own fields.
struct Outcome {
    BYTE status = SS_COMP;
    BYTE hastat = HASTAT_OK;  // exec, reset
    BYTE targstat = 0;        // exec
    std::vector<std::uint8_t> sense;
    std::optional<std::uint32_t> resid;
    std::optional<BYTE> type;            // devtype: the peripheral device type
    std::optional<std::int64_t> micros;  // exec, reset: from its arrival to its outcome
    bool abandoned = false;              // its abort came too late: the program never saw it
    std::vector<std::uint8_t> data;      // exec: the bytes it moved in
    bool operator==(const Outcome&) const = default;
};

// An adapter's SC_HA_INQUIRY fields.
struct AdapterInfo {
    BYTE count = 0;
    BYTE id = 0;
    std::array<std::uint8_t, 16> identifier{};
    std::array<std::uint8_t, 16> unique{};
    bool operator==(const AdapterInfo&) const = default;
};

struct Header {
    std::string program;  // its name and version, as it gave them
    std::string layer;    // the layer's name
    std::string layer_version;
    std::string date;       // UTC, 2025-01-31T09:15:02Z
    BYTE status = SS_COMP;  // GetASPI32SupportInfo
    std::vector<AdapterInfo> adapters;
    bool operator==(const Header&) const = default;
};

struct Record {
    Request request;
    std::optional<Outcome> outcome;  // none: it never ended
    bool operator==(const Record&) const = default;
};

struct Transcript {
    Header header;
    std::vector<Record> records;  // record i has number i + 1
    bool operator==(const Transcript&) const = default;
};

// Longest data transfer the front end copies; longer ones are refused
// before anything is allocated.
constexpr std::uint32_t MAX_BUFFER = 1u << 24;

constexpr int TRANSCRIPT_VERSION = 1;
constexpr std::size_t DATA_PER_LINE = 32;

// The lines of each part, every one ending in a newline.
std::string header_text(const Header& h);
std::string request_line(std::size_t number, const Request& r);
std::string outcome_lines(std::size_t number, RequestKind kind, const Outcome& o);
// The whole transcript, each outcome right after its request.
std::string transcript_text(const Transcript& t);

// A request as its line shows it, without its number: "exec 0 2 0 dir=in ...".
std::string notation(const Request& r);

// Seconds with microseconds, "0.004213".
std::string seconds_text(std::int64_t micros);

struct ReadResult {
    Transcript transcript;
    std::size_t line = 0;  // where it is refused
    std::string why;       // empty: read
};
ReadResult read_transcript(std::string_view text);

}  // namespace aspihost
