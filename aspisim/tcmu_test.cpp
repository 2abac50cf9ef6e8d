#include "aspisim/tcmu.h"

#include <gtest/gtest.h>

#include <cstring>

#include "aspisim/tcmu_abi.h"
#include "platform/aspi.h"

namespace aspisim::tcmu {
namespace {

const tcmu_abi& abi = tcmu_ring_abi;

// The kernel's side of a small ring: commands go in at the head (padding to
// the ring's end when one does not fit), answers are collected from the last
// collected slot up to the handler's tail, by the id each slot holds.
class Kernel {
public:
    static constexpr std::uint32_t RING = 1024, DATA = 4096;

    Kernel() : area_(abi.mailbox_size + RING + DATA) {
        put<std::uint16_t>(abi.version_at, abi.version);
        put<std::uint16_t>(abi.flags_at, abi.cap_out_of_order);
        put<std::uint32_t>(abi.ring_off_at, static_cast<std::uint32_t>(abi.mailbox_size));
        put<std::uint32_t>(abi.ring_size_at, RING);
    }

    template <class T>
    void put(std::size_t at, T v) {
        std::memcpy(area_.data() + at, &v, sizeof v);
    }
    template <class T>
    T get(std::size_t at) const {
        T v;
        std::memcpy(&v, area_.data() + at, sizeof v);
        return v;
    }

    // A 10-byte command whose data lies in pieces of at most `piece` bytes.
    std::uint16_t send(std::uint8_t opcode, const std::vector<std::uint8_t>& data, std::size_t piece) {
        std::size_t n = (data.size() + piece - 1) / piece;
        std::size_t base = std::max(abi.iov_at + n * abi.iov_size, abi.entry_size);
        auto len = static_cast<std::uint32_t>((base + 10 + 7) / 8 * 8);
        std::uint32_t pad = RING - head_ < len ? RING - head_ : 0;
        if (pad) entry(abi.op_pad, pad);
        std::size_t e = entry(abi.op_cmd, len);
        put<std::uint16_t>(e + abi.id_at, ++id_);
        put<std::uint32_t>(e + abi.iov_cnt_at, static_cast<std::uint32_t>(n));
        put<std::uint64_t>(e + abi.cdb_off_at, e + base);
        put<std::uint8_t>(e + base, opcode);
        for (std::size_t i = 0; i < n; i++) {
            std::size_t at = data_at(id_) + i * piece;
            std::size_t k = std::min(piece, data.size() - i * piece);
            std::memcpy(area_.data() + at, data.data() + i * piece, k);
            put<std::uint64_t>(e + abi.iov_at + i * abi.iov_size + abi.iov_base_at, at);
            put<std::uint64_t>(e + abi.iov_at + i * abi.iov_size + abi.iov_len_at, k);
        }
        return id_;
    }

    // The ids, statuses and first sense bytes of the answers not collected.
    std::vector<std::vector<int>> collect() {
        std::vector<std::vector<int>> done;
        while (cleaned_ != get<std::uint32_t>(abi.tail_at)) {
            std::size_t e = abi.mailbox_size + cleaned_;
            auto len_op = get<std::uint32_t>(e + abi.len_op_at);
            if ((len_op & abi.op_mask) == abi.op_cmd)
                done.push_back(
                    {get<std::uint16_t>(e + abi.id_at), area_[e + abi.status_at], area_[e + abi.sense_at]});
            cleaned_ = (cleaned_ + (len_op & ~abi.op_mask)) % RING;
        }
        return done;
    }

    // A command's data lies in one run of the area, a quarter of it.
    std::size_t data_at(std::uint16_t id) const { return abi.mailbox_size + RING + id % 4 * (DATA / 4); }

    std::vector<std::uint8_t> area_;

private:
    std::size_t entry(std::uint32_t op, std::uint32_t len) {
        std::size_t e = abi.mailbox_size + head_;
        std::memset(&area_[e], 0, len);
        put<std::uint32_t>(e + abi.len_op_at, len | op);
        head_ = (head_ + len) % RING;
        put<std::uint32_t>(abi.head_at, head_);
        return e;
    }

    std::uint32_t head_ = 0, cleaned_ = 0;
    std::uint16_t id_ = 0;
};

// Round the ring five times with entries of two sizes (so that padding comes
// at its end) and commands that are never answered in between: each answer
// reaches the kernel under its own id, and the data goes both ways.
TEST(TcmuRing, AnswersAcrossTheRingsEndAroundCommandsThatHang) {
    Kernel k;
    Ring ring(k.area_.data(), k.area_.size());
    ASSERT_EQ(ring.check(), "");
    for (int i = 0; i < 40; i++) {
        SCOPED_TRACE(i);
        std::vector<std::uint8_t> out(100, static_cast<std::uint8_t>(i));
        std::uint16_t id = k.send(0xE2, out, i % 2 ? 16 : 64);
        std::optional<Command> c = ring.take();
        ASSERT_TRUE(c);
        EXPECT_EQ(c->id, id);
        EXPECT_EQ(c->cdb_len, 10u);
        EXPECT_EQ(c->data, out);
        if (i == 3 || i == 11) continue;  // never answered
        c->data.assign(c->data.size(), static_cast<std::uint8_t>(~i));
        ring.answer(*c, {0x02, {0x70, 0, 5}});
        EXPECT_EQ(k.collect(), (std::vector<std::vector<int>>{{id, 0x02, 0x70}}));
        EXPECT_TRUE(std::equal(c->data.begin(), c->data.end(), &k.area_[k.data_at(id)]));
    }
    EXPECT_FALSE(ring.take());
    EXPECT_EQ(ring.broken(), "");
}

// What the kernel could hand over and the handler must refuse, without
// reading or writing outside the shared area.
TEST(TcmuRing, RefusesARingItCannotServe) {
    const std::size_t entry = abi.mailbox_size;
    struct Row {
        const char* what;
        std::size_t at;
        std::uint64_t value;
        int bytes;
        bool at_check;
    } rows[] = {
        {"another mailbox version", abi.version_at, 1, 2, true},
        {"answers only in order", abi.flags_at, 0, 2, true},
        {"a ring beyond the area", abi.ring_size_at, Kernel::RING + Kernel::DATA + 8, 4, true},
        {"a head outside the ring", abi.head_at, Kernel::RING, 4, false},
        {"an entry beyond the ring", entry + abi.len_op_at, (Kernel::RING + 8) | abi.op_cmd, 4, false},
        {"an entry of unknown kind", entry + abi.len_op_at, 128 | 5, 4, false},
        {"more buffers than the entry", entry + abi.iov_cnt_at, 1000, 4, false},
        {"a CDB outside the area", entry + abi.cdb_off_at, Kernel::RING * 8, 8, false},
        {"data outside the area", entry + abi.iov_at + abi.iov_len_at, Kernel::DATA * 2, 8, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Kernel k;
        k.send(0x3B, std::vector<std::uint8_t>(64, 1), 64);
        std::memcpy(&k.area_[r.at], &r.value, static_cast<std::size_t>(r.bytes));
        Ring ring(k.area_.data(), k.area_.size());
        if (r.at_check) {
            EXPECT_NE(ring.check(), "");
            continue;
        }
        ASSERT_EQ(ring.check(), "");
        EXPECT_FALSE(ring.take());
        EXPECT_NE(ring.broken(), "");
    }
}

TEST(TcmuAnswer, TheWireStatusOfEveryOutcome) {
    const std::vector<std::uint8_t> sense = fixed_sense(0x02, 0x3A, 0);
    struct Row {
        Outcome o;
        Answer a;
    } rows[] = {
        {{SS_COMP, HASTAT_OK, 0, {}}, {0, {}}},
        {{SS_ERR, HASTAT_OK, 0x02, sense}, {0x02, sense}},
        {{SS_ERR, HASTAT_DO_DU, 0, {}}, {0x02, fixed_sense(0x0B, 0x4B, 0)}},
        {no_device(), {0x02, fixed_sense(0x05, 0x25, 0)}},  // a restart, a drive moved away
    };
    for (const Row& r : rows) {
        Answer a = scsi_answer(r.o);
        EXPECT_EQ(a.status, r.a.status);
        EXPECT_EQ(a.sense, r.a.sense);
    }
}

}  // namespace
}  // namespace aspisim::tcmu
