// Overlap-safe byte move with a word-wise path for aligned areas.
#include <cstdint>
#include <cstring>

#include "support/bulk.h"
#include "support/utils.h"

namespace sup {
namespace {

inline bool aligned4(const void* p) {
    return (reinterpret_cast<std::uintptr_t>(p) & 3) == 0;
}

// One 32-byte pass: the eight words are all loaded before any is stored, so
// a pass is correct for overlapping areas in either direction.
inline void move32(const unsigned char* from, unsigned char* to) {
    detail::Words8 w;
    detail::load8(w, from);
    detail::store8(to, w);
}

SUP_BULK_CLONES
void forward_passes(const unsigned char* from, unsigned char* to, unsigned passes) {
#pragma GCC unroll 4
    for (unsigned i = 0; i < passes; i++, from += 32, to += 32)
        move32(from, to);
}

// from and to point just past the areas.
SUP_BULK_CLONES
void backward_passes(const unsigned char* from, unsigned char* to, unsigned passes) {
#pragma GCC unroll 4
    for (unsigned i = 0; i < passes; i++) {
        from -= 32;
        to -= 32;
        move32(from, to);
    }
}

void forward(const unsigned char* from, unsigned char* to, unsigned n) {
    if (n >= 32 && aligned4(from) && aligned4(to)) {
        forward_passes(from, to, n / 32);
        from += n & ~31u;
        to += n & ~31u;
        n &= 31;
    }
    while (n >= 8) {
        to[0] = from[0]; to[1] = from[1]; to[2] = from[2]; to[3] = from[3];
        to[4] = from[4]; to[5] = from[5]; to[6] = from[6]; to[7] = from[7];
        from += 8;
        to += 8;
        n -= 8;
    }
    while (n > 0) {
        *to++ = *from++;
        n--;
    }
}

// from and to point just past the ends of the areas.
void backward(const unsigned char* from, unsigned char* to, unsigned n) {
    if (n >= 32 && aligned4(from) && aligned4(to)) {
        backward_passes(from, to, n / 32);
        from -= n & ~31u;
        to -= n & ~31u;
        n &= 31;
    }
    while (n >= 8) {
        from -= 8;
        to -= 8;
        to[7] = from[7]; to[6] = from[6]; to[5] = from[5]; to[4] = from[4];
        to[3] = from[3]; to[2] = from[2]; to[1] = from[1]; to[0] = from[0];
        n -= 8;
    }
    while (n > 0) {
        *--to = *--from;
        n--;
    }
}

}  // namespace

void* movebytes(const void* fromv, void* tov, int cnt) {
    const auto* from = static_cast<const unsigned char*>(fromv);
    auto* to = static_cast<unsigned char*>(tov);
    if (cnt <= 0)
        return to;
    const auto n = static_cast<unsigned>(cnt);
    if (reinterpret_cast<std::uintptr_t>(from) < reinterpret_cast<std::uintptr_t>(to))
        backward(from + n, to + n, n);
    else
        forward(from, to, n);
    return to + n;
}

}  // namespace sup
