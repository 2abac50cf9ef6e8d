// How a fuzz input of fuzz_statefile describes a state file, and the drives
// it is read for; the seed generator writes inputs with `encode`.
//
// Input: the drive (a byte, modulo the count), a byte of switches (bit 0:
// the file is as long as the drive's saved state plus the next byte, a
// signed change, filled up with the byte after it; else it is the bytes
// alone), the change, the fill, then the file's bytes. A saved state is
// over 128 KiB long, so the fill reaches one from a short input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "aspisim/busconf.h"
#include "aspisim/device.h"

namespace state {

// Two products whose saved states are of one size, the smallest (128 KiB
// of flash): each other's state is refused for its product alone.
constexpr char bus[] =
    "device 0 1 vendor=\"DRAVLIN \" product=\"CD-ROM QV-B8NB  \"\n"
    "device 0 2 vendor=\"DRAVLIN \" product=\"CD-ROM QV-B8NV  \" revision=\"1.06\"\n";

inline std::vector<aspisim::DeviceConf> drives() { return aspisim::parse_bus(bus, "fuzz").config.devices; }

enum : std::uint8_t { SIZED = 1 };

struct Input {
    std::uint8_t drive = 0;
    std::uint8_t switches = 0;
    std::int8_t change = 0;
    std::uint8_t fill = 0;
    std::string bytes;
};

inline Input decode(const std::uint8_t* data, std::size_t size) {
    Input in;
    std::uint8_t head[4] = {};
    for (std::size_t i = 0; i < 4 && i < size; i++) head[i] = data[i];
    in.drive = head[0];
    in.switches = head[1];
    in.change = static_cast<std::int8_t>(head[2]);
    in.fill = head[3];
    if (size > 4) in.bytes.assign(reinterpret_cast<const char*>(data + 4), size - 4);
    return in;
}

inline std::string encode(const Input& in) {
    return std::string{static_cast<char>(in.drive), static_cast<char>(in.switches),
                       static_cast<char>(in.change), static_cast<char>(in.fill)} +
           in.bytes;
}

// The file's bytes for a drive whose saved state is `state_size` long, in
// `out` (whose room is kept from input to input).
inline void file(const Input& in, std::size_t state_size, std::vector<std::uint8_t>& out) {
    out.assign(in.bytes.begin(), in.bytes.end());
    if (in.switches & SIZED)
        out.resize(static_cast<std::size_t>(static_cast<long>(state_size) + in.change), in.fill);
}

}  // namespace state
