// How a fuzz input of fuzz_sgoutcome describes a request block and the
// driver's reply; the seed generator writes inputs with `encode`.
//
// Input: flags (SRB_DIR_IN, SRB_DIR_OUT, SRB_ENABLE_RESIDUAL_COUNT are
// taken), the data length (3 bytes, at most 64 KiB, above the 32 KiB the
// driver takes), the CDB length (1 to 16, from a byte modulo 16), 16 CDB
// bytes, the sense length of the block; then the reply: errno (0 for none),
// SCSI status, host status (2 bytes), driver status (2 bytes), residual (4
// bytes, signed), the sense length the driver reports, and the sense bytes
// it wrote (the rest of the input, zeros after it). Multi-byte values are
// big-endian; a short input reads zeros.
#pragma once

#include <cstdint>
#include <string>

#include "aspilinux/testing/fakekernel.h"
#include "platform/aspi.h"

namespace reply {

enum : std::uint32_t { MAX_LEN = 64 * 1024, SENSE_BYTES = 256 };

using aspilinux_fake::Reply;

struct Input {
    std::uint8_t flags = SRB_DIR_OUT;
    std::uint32_t len = 0;
    std::uint8_t cdb_len = 10;
    std::uint8_t cdb[16] = {};
    std::uint8_t sense_len = SENSE_LEN;
    Reply reply;
};

inline Input decode(const std::uint8_t* data, std::size_t size) {
    std::size_t at = 0;
    auto num = [&](int bytes) {
        std::uint32_t v = 0;
        for (int i = 0; i < bytes; i++) v = v << 8 | (at < size ? data[at++] : 0);
        return v;
    };
    Input in;
    in.flags = static_cast<std::uint8_t>(num(1) & (SRB_DIR_IN | SRB_DIR_OUT | SRB_ENABLE_RESIDUAL_COUNT));
    in.len = num(3) % (MAX_LEN + 1);
    in.cdb_len = static_cast<std::uint8_t>(num(1) % 16 + 1);
    for (std::uint8_t& b : in.cdb) b = static_cast<std::uint8_t>(num(1));
    in.sense_len = static_cast<std::uint8_t>(num(1));
    Reply& r = in.reply;
    r.err = static_cast<int>(num(1));
    r.status = static_cast<std::uint8_t>(num(1));
    r.host = static_cast<std::uint16_t>(num(2));
    r.driver = static_cast<std::uint16_t>(num(2));
    r.resid = static_cast<std::int32_t>(num(4));
    r.sense_len = static_cast<int>(num(1));
    r.sense.resize(SENSE_BYTES);
    for (std::uint8_t& b : r.sense) b = static_cast<std::uint8_t>(num(1));
    return in;
}

inline std::string encode(const Input& in) {
    std::string out;
    auto num = [&](std::uint32_t v, int bytes) {
        for (int i = bytes - 1; i >= 0; i--) out += static_cast<char>(v >> (8 * i));
    };
    const Reply& r = in.reply;
    num(in.flags, 1);
    num(in.len, 3);
    num(in.cdb_len - 1u, 1);
    for (std::uint8_t b : in.cdb) num(b, 1);
    num(in.sense_len, 1);
    num(static_cast<std::uint32_t>(r.err), 1);
    num(r.status, 1);
    num(r.host, 2);
    num(r.driver, 2);
    num(static_cast<std::uint32_t>(r.resid), 4);
    const std::size_t sense_len = r.sense_len < 0 ? r.sense.size() : static_cast<std::size_t>(r.sense_len);
    num(static_cast<std::uint32_t>(sense_len), 1);
    for (std::size_t i = 0; i < sense_len && i < r.sense.size(); i++) num(r.sense[i], 1);
    return out;
}

}  // namespace reply
