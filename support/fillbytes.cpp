// Byte fill with a word-wise middle part.
#include <cstdint>
#include <cstring>

#include "support/bulk.h"
#include "support/utils.h"

namespace sup {
namespace {

// The 32-byte passes, eight words each. Every byte of the block is the same,
// so after the first pass the stores may start at the next 32-byte boundary
// and the last one may overlap its predecessor: the bytes written are exactly
// those of the plain passes, but no wide store is split across cache lines.
SUP_BULK_CLONES
void fill_passes(unsigned char* to, unsigned passes, std::uint32_t w) {
    const detail::Words8 block = {w, w, w, w, w, w, w, w};
    unsigned char* const end = to + 32 * static_cast<std::size_t>(passes);
    detail::store8(to, block);
    unsigned char* p = to + (32 - (reinterpret_cast<std::uintptr_t>(to) & 31));
#pragma GCC unroll 4
    for (; end - p >= 32; p += 32) detail::store8(p, block);
    if (p < end) detail::store8(end - 32, block);
}

}  // namespace

void* fillbytes(void* tov, int cnt, int val) {
    auto* to = static_cast<unsigned char*>(tov);
    if (cnt <= 0) return to;
    const auto c = static_cast<unsigned char>(val);
    auto n = static_cast<unsigned>(cnt);

    while (n > 0 && (reinterpret_cast<std::uintptr_t>(to) & 3) != 0) {
        *to++ = c;
        n--;
    }
    if (n >= 32) {
        fill_passes(to, n / 32, c * 0x01010101u);
        to += n & ~31u;
        n &= 31;
    }
    while (n >= 8) {
        to[0] = c;
        to[1] = c;
        to[2] = c;
        to[3] = c;
        to[4] = c;
        to[5] = c;
        to[6] = c;
        to[7] = c;
        to += 8;
        n -= 8;
    }
    while (n > 0) {
        *to++ = c;
        n--;
    }
    return to;
}

}  // namespace sup
