#include "aspisim/bot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "support/hexbytes.h"

namespace aspisim::bot {
namespace {

std::string hex(const std::vector<std::uint8_t>& v) { return sup::hexbytes(v.data(), v.size()); }

TEST(Bot, DescriptorsAndStringsAsFunctionFsTakesThem) {
    // Header (magic 3, length, full and high speed, three of each), then per speed the interface
    // (8/6/0x50, two endpoints, string 1), bulk IN 0x81 and OUT 0x02 of 64, then 512 bytes.
    EXPECT_EQ(hex(descriptors()),
              "03000000420000000300000003000000030000000904000002080650010705810240000007050202400000090400"
              "0002080650010705810200020007050202000200");
    EXPECT_EQ(hex(strings()),  // "Dravlin simulated drive"
              "020000002A00000001000000010000000904447261766C696E2073696D756C6174656420647269766500");
}

// A wrapper of `n` bytes: signature, tag 0x11223344, `length` bytes in,
// LUN 0, a 6-byte INQUIRY; then the byte `at` set to `value`.
std::vector<std::uint8_t> wrapper(std::size_t n, std::uint32_t length = 0x200, int at = -1,
                                  std::uint8_t value = 0) {
    static constexpr std::uint8_t kHead[] = {0x55, 0x53, 0x42, 0x43, 0x44, 0x33, 0x22, 0x11, 0,    0,   0,
                                             0,    0x80, 0x00, 0x06, 0x12, 0x00, 0x00, 0x00, 0x24, 0x00};
    // Made at its size, not grown: g++ 12 at -O3 sees a grown vector's copy
    // beyond its old end.
    std::vector<std::uint8_t> b(n, 0);
    std::copy_n(kHead, std::min(n, sizeof kHead), b.begin());
    for (std::size_t i = 0; i < 4 && 8 + i < n; i++) b[8 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    if (at >= 0 && static_cast<std::size_t>(at) < n) b[at] = value;
    return b;
}

TEST(Bot, WhatComesWhereAWrapperIsDue) {
    struct Row {
        std::vector<std::uint8_t> bytes;
        bool valid, meaningful;
        const char* why;
    } rows[] = {
        {wrapper(31), true, true, ""},
        {wrapper(30), false, false, "a command block wrapper of 30 bytes"},
        {wrapper(32), false, false, "a command block wrapper of 32 bytes"},
        {wrapper(31, 0x200, 3, 0x44), false, false, "a command block wrapper without its signature"},
        {wrapper(31, 0x200, 13, 0x01), true, false, "logical unit 1"},
        {wrapper(31, 0x200, 13, 0x10), true, false, "reserved bits set"},
        {wrapper(31, 0x200, 12, 0x81), true, false, "reserved bits set"},
        {wrapper(31, 0x200, 14, 0x00), true, false, "a command block of 0 bytes"},
        {wrapper(31, 0x200, 14, 0x11), true, false, "a command block of 17 bytes"},
        {wrapper(31, 0x200, 14, 0x10), true, true, ""},  // all 16 bytes, to the wrapper's last
        {wrapper(31, MAX_TRANSFER), true, true, ""},
        {wrapper(31, MAX_TRANSFER + 1), true, false, "a transfer of 1048577 bytes"},
    };
    for (const Row& r : rows) {
        const Received got = receive(r.bytes.data(), r.bytes.size());
        SCOPED_TRACE(hex(r.bytes));
        EXPECT_EQ(got.valid, r.valid);
        EXPECT_EQ(got.meaningful, r.meaningful);
        EXPECT_EQ(got.why, r.why);
    }
    const Cbw c = receive(wrapper(31).data(), 31).cbw;
    EXPECT_TRUE(c.tag == 0x11223344u && c.length == 0x200u && c.in && c.cdb_len == 6u);
    EXPECT_EQ(sup::hexbytes(c.cdb, 16), "12000000240000000000000000000000");
}

TEST(Bot, HowACommandEnds) {
    const std::vector<std::uint8_t> sense = fixed_sense(0x05, 0x20, 0);
    struct Row {
        bool in;
        std::uint32_t length;
        Answer answer;
        Ending want;
    } rows[] = {
        {true, 96, {0, {}, 0}, {96, false, CswStatus::passed, 0}},
        {true, 512, {0, {}, 12}, {500, false, CswStatus::passed, 12}},    // a short packet ends it
        {true, 1024, {0, {}, 512}, {512, true, CswStatus::passed, 512}},  // none can: halted
        {true, 96, {0, {}, 200}, {0, true, CswStatus::passed, 96}},
        {true, 96, {2, sense, 0}, {0, true, CswStatus::failed, 96}},  // a failure moves nothing
        {false, 8192, {2, sense, 0}, {0, false, CswStatus::failed, 0}},
        {false, 8192, {0, {}, 100}, {0, false, CswStatus::passed, 100}},
        {true, 0, {8, {}, 0}, {0, false, CswStatus::failed, 0}},
    };
    for (const Row& r : rows) {
        Cbw c;
        c.in = r.in;
        c.length = r.length;
        const Ending e = ending(c, r.answer, 512);
        SCOPED_TRACE(testing::Message() << r.in << " " << r.length);
        EXPECT_EQ(e.send, r.want.send);
        EXPECT_EQ(e.halt, r.want.halt);
        EXPECT_EQ(e.status, r.want.status);
        EXPECT_EQ(e.residue, r.want.residue);
    }
    Cbw out;
    out.length = 4096;
    const Ending e = refused(out);
    EXPECT_TRUE(e.halt);
    const auto w = csw(0xA1B2C3D4, e);
    EXPECT_EQ(sup::hexbytes(w.data(), w.size()), "55534253D4C3B2A10010000002");
}

TEST(Bot, ClassRequests) {
    struct Row {
        Request s;
        Control want;
    } rows[] = {
        {{0xA1, 0xFE, 0, 0, 1}, Control::max_lun}, {{0xA1, 0xFE, 0, 0, 2}, Control::max_lun},
        {{0xA1, 0xFE, 0, 0, 0}, Control::stall},   {{0xA1, 0xFE, 1, 0, 1}, Control::stall},
        {{0x21, 0xFF, 0, 0, 0}, Control::reset},   {{0x21, 0xFF, 0, 0, 1}, Control::stall},
        {{0xA1, 0xFF, 0, 0, 0}, Control::stall},   {{0x21, 0xFE, 0, 0, 0}, Control::stall},
    };
    for (const Row& r : rows) EXPECT_EQ(control(r.s), r.want) << int(r.s.request_type) << " " << r.s.length;
}

}  // namespace
}  // namespace aspisim::bot
