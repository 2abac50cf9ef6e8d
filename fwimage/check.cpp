#include "fwimage/check.h"

#include <algorithm>
#include <cstring>

namespace fwimage {

namespace {

// The 16-bit sum of n bytes. Taken a 128-byte block at a time, each 8-byte
// word split into four 16-bit lanes of byte pairs: the loop compares and
// branches once a block, which the fuzz targets, summing up to 512 KiB per
// input under coverage tracing, depend on for their speed.
std::uint16_t ByteSum(const std::uint8_t* p, std::size_t n) {
    constexpr std::uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
    std::uint32_t total = 0;
    std::size_t i = 0;
    for (; n - i >= 128; i += 128) {
        // Each lane at most 16 x 2 x 255, their total below 65536: no carry
        // into the next lane, here or when the lanes are added.
        std::uint64_t lanes = 0;
        for (int k = 0; k < 16; k++) {
            std::uint64_t w;
            std::memcpy(&w, p + i + 8 * k, 8);
            lanes += (w & kLowBytes) + (w >> 8 & kLowBytes);
        }
        total += static_cast<std::uint32_t>(lanes * 0x0001000100010001ull >> 48);
    }
    for (; i < n; i++) total += p[i];
    return static_cast<std::uint16_t>(total);
}

}  // namespace

bool holds_identity(Span image, const IdentityRow& row) {
    auto at = static_cast<std::size_t>(row.offset);
    auto len = static_cast<std::size_t>(row.length);
    return at <= image.size() && len <= image.size() - at &&
           std::memcmp(image.data() + at, row.text, len) == 0;
}

int identify(Span image) {
    for (int i = 0; i < num_identity_rows; i++)
        if (holds_identity(image, identity_rows[i])) return identity_rows[i].type;
    return NO_TYPE;
}

Checksum checksum(Span image, int type) {
    Checksum c;
    c.row = checksum_row(type);
    if (c.row == nullptr) return c;
    const auto start = static_cast<std::size_t>(c.row->start);
    const auto at = static_cast<std::size_t>(c.row->stored_at);
    c.end = std::clamp(image.size(), start, at);
    if (c.end > start) c.computed = ByteSum(image.data() + start, c.end - start);
    if (image.size() >= at + 2) c.stored = image[at] << 8 | image[at + 1];
    return c;
}

std::size_t needed_length(int type) {
    const TransferPlan* plan = transfer_plan(type);
    return plan ? static_cast<std::size_t>(plan->pieces) * static_cast<std::size_t>(plan->piece_size) : 0;
}

bool complete(Span image, int type) {
    return transfer_plan(type) != nullptr && image.size() >= needed_length(type);
}

Span version_field(Span image, int type) {
    const IdentityRow* id = identity_row(type);
    if (id == nullptr) return {};
    const auto from = std::min(image.size(), static_cast<std::size_t>(id->offset + id->length));
    return image.subspan(from, std::min<std::size_t>(image.size() - from, VERSION_LEN));
}

Span flash_identity(Span image) {
    const auto from = std::min(image.size(), std::size_t{FLASH_ID_AREA - FLASH_READ_BASE});
    return image.subspan(from, std::min<std::size_t>(image.size() - from, FLASH_ID_AREA_LEN));
}

const char* verdict_text(Verdict verdict) {
    switch (verdict) {
    case Verdict::valid: return "valid";
    case Verdict::unknown: return "Invalid upgrade file";
    case Verdict::bad_checksum: return "Invalid upgrade file (bad checksum)";
    case Verdict::too_short: return "Invalid upgrade file (too short)";
    case Verdict::unreadable: return "Unable to open file";
    }
    return "";
}

Verdict verdict(int type, bool checksum_right, bool complete) {
    if (type < 0) return Verdict::unknown;
    if (!checksum_right) return Verdict::bad_checksum;
    if (!complete) return Verdict::too_short;
    return Verdict::valid;
}

Report examine(Span image) {
    Report r;
    r.type = identify(image);
    const Span version = version_field(image, r.type);
    r.version.assign(version.begin(), version.end());
    r.sum = checksum(image, r.type);
    r.needed = needed_length(r.type);
    if (r.sum.row != nullptr) {
        // The sent bytes outside the summed range and its stored sum.
        auto lo = std::min(r.needed, static_cast<std::size_t>(r.sum.row->start));
        auto hi = std::min(r.needed, static_cast<std::size_t>(r.sum.row->stored_at) + 2);
        r.unchecked = r.needed - (hi - lo);
    }
    r.verdict = verdict(r.type, r.sum.right(), complete(image, r.type));
    return r;
}

}  // namespace fwimage
