#include "aspisim/tcmu.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "aspisim/tcmu_abi.h"

namespace aspisim::tcmu {

namespace {

const tcmu_abi& abi = tcmu_ring_abi;

// The kernel's CDB lengths by group (the operation code's top three bits):
// the maker's 12-byte flash commands are in group 7, counted as 10.
constexpr std::uint8_t group_length[8] = {6, 10, 10, 12, 16, 12, 10, 10};

}  // namespace

std::size_t cdb_length(std::uint8_t opcode) { return group_length[opcode >> 5]; }

template <class T>
T Ring::get(std::size_t at) const {
    T v;
    std::memcpy(&v, area_ + at, sizeof v);
    return v;
}

template <class T>
void Ring::put(std::size_t at, T v) {
    std::memcpy(area_ + at, &v, sizeof v);
}

std::uint32_t Ring::load(std::size_t at) const {
    return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(area_ + at))
        .load(std::memory_order_acquire);
}

void Ring::store(std::size_t at, std::uint32_t v) {
    std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(area_ + at))
        .store(v, std::memory_order_release);
}

std::string Ring::check() {
    if (size_ < abi.mailbox_size) return "the shared area is smaller than a mailbox";
    auto version = get<std::uint16_t>(abi.version_at);
    if (version != abi.version)
        return "mailbox version " + std::to_string(version) + ", not " + std::to_string(abi.version);
    if (!(get<std::uint16_t>(abi.flags_at) & abi.cap_out_of_order))
        return "the kernel takes answers only in the order of the ring";
    auto off = get<std::uint32_t>(abi.ring_off_at), size = get<std::uint32_t>(abi.ring_size_at);
    if (off < abi.mailbox_size || off % abi.align != 0 || size < abi.entry_size || size % abi.align != 0 ||
        off > size_ || size > size_ - off)
        return "the command ring lies outside the shared area";
    ring_off_ = off;
    ring_size_ = size;
    // What was answered before this handler started stays answered.
    next_ = load(abi.tail_at);
    if (next_ >= ring_size_ || next_ % abi.align != 0) return "the ring's tail lies outside it";
    return {};
}

// The length of the entry at `at` in the ring, 0 when it does not fit.
std::uint32_t Ring::entry_length(std::uint32_t at) const {
    std::uint32_t len = get<std::uint32_t>(ring_off_ + at + abi.len_op_at) & ~abi.op_mask;
    return len < abi.header_size || len > ring_size_ - at ? 0 : len;
}

std::uint32_t Ring::entry_kind(std::uint32_t at) const {
    return get<std::uint32_t>(ring_off_ + at + abi.len_op_at) & abi.op_mask;
}

std::optional<Command> Ring::take() {
    while (broken_.empty()) {
        std::uint32_t head = load(abi.head_at);
        if (head >= ring_size_ || head % abi.align != 0) {
            broken_ = "the ring's head lies outside it";
            break;
        }
        if (next_ == head) break;
        std::uint32_t at = next_, len = entry_length(at);
        if (len == 0) {
            broken_ = "the entry at " + std::to_string(at) + " does not fit the ring";
            break;
        }
        next_ = (next_ + len) % ring_size_;
        std::uint32_t kind = entry_kind(at);
        if (kind == abi.op_cmd) return read_command(at, len);
        // Padding to the ring's end, and task management, which is not
        // asked for, carry no command.
        if (kind != abi.op_pad && kind != abi.op_tmr)
            broken_ = "an entry of unknown kind at " + std::to_string(at);
    }
    return std::nullopt;
}

std::optional<Command> Ring::read_command(std::uint32_t at, std::uint32_t len) {
    const std::size_t e = ring_off_ + at;
    Command c;
    c.id = get<std::uint16_t>(e + abi.id_at);
    if (len < abi.entry_size) {
        broken_ = "command " + std::to_string(c.id) + " has an entry of " + std::to_string(len) + " bytes";
        return std::nullopt;
    }
    auto count = get<std::uint32_t>(e + abi.iov_cnt_at);
    auto cdb_off = get<std::uint64_t>(e + abi.cdb_off_at);
    if (count > (len - abi.iov_at) / abi.iov_size || cdb_off >= size_) {
        broken_ = "command " + std::to_string(c.id) + " points outside its entry or the shared area";
        return std::nullopt;
    }
    c.cdb_len =
        std::min({cdb_length(area_[cdb_off]), sizeof c.cdb, static_cast<std::size_t>(size_ - cdb_off)});
    std::memcpy(c.cdb, area_ + cdb_off, c.cdb_len);
    std::size_t total = 0;
    for (std::uint32_t i = 0; i < count; i++) {
        std::size_t v = e + abi.iov_at + i * abi.iov_size;
        auto off = get<std::uint64_t>(v + abi.iov_base_at), n = get<std::uint64_t>(v + abi.iov_len_at);
        if (off > size_ || n > size_ - off || n > size_ - total) {
            broken_ = "command " + std::to_string(c.id) + " has data outside the shared area";
            return std::nullopt;
        }
        c.segments.push_back({static_cast<std::size_t>(off), static_cast<std::size_t>(n)});
        total += n;
    }
    c.data.reserve(total);
    for (const Segment& s : c.segments)
        c.data.insert(c.data.end(), area_ + s.offset, area_ + s.offset + s.length);
    return c;
}

void Ring::answer(const Command& c, const Answer& a) {
    std::size_t from = 0;
    for (const Segment& s : c.segments) {
        if (s.offset > size_ || s.length > size_ - s.offset || from >= c.data.size()) break;
        std::size_t n = std::min(s.length, c.data.size() - from);
        std::memcpy(area_ + s.offset, c.data.data() + from, n);
        from += n;
    }

    // The oldest slot of a command taken and not answered; padding and task
    // management before it are passed over, as the kernel does.
    std::uint32_t tail = load(abi.tail_at), len = 0;
    for (; tail != next_ && tail < ring_size_; tail = (tail + len) % ring_size_) {
        len = entry_length(tail);
        if (len == 0) return;  // take() found it broken
        if (entry_kind(tail) == abi.op_cmd && len >= abi.entry_size) break;
    }
    if (tail == next_ || tail >= ring_size_) return;  // no command was taken

    const std::size_t e = ring_off_ + tail;
    put<std::uint16_t>(e + abi.id_at, c.id);
    put<std::uint8_t>(e + abi.uflags_at, 0);
    std::memset(area_ + e + abi.status_at, 0, abi.sense_at - abi.status_at);
    put<std::uint8_t>(e + abi.status_at, a.status);
    std::size_t n = std::min(a.sense.size(), abi.sense_size);
    std::memset(area_ + e + abi.sense_at, 0, abi.sense_size);
    if (n) std::memcpy(area_ + e + abi.sense_at, a.sense.data(), n);
    store(abi.tail_at, (tail + len) % ring_size_);
}

}  // namespace aspisim::tcmu
