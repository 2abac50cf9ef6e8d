// Byte fill with a word-wise middle part.
#include <cstdint>
#include <cstring>

#include "support/utils.h"

namespace sup {

void* fillbytes(void* tov, int cnt, int val) {
    auto* to = static_cast<unsigned char*>(tov);
    if (cnt <= 0)
        return to;
    const auto c = static_cast<unsigned char>(val);
    auto n = static_cast<unsigned>(cnt);

    while (n > 0 && (reinterpret_cast<std::uintptr_t>(to) & 3) != 0) {
        *to++ = c;
        n--;
    }
    if (n >= 32) {
        const std::uint32_t w = c * 0x01010101u;
        // memcpy of a word is a single aligned store; it keeps the
        // compiler free of aliasing assumptions about the caller's bytes.
        for (unsigned passes = n / 32; passes > 0; passes--) {
            std::memcpy(to + 0, &w, 4);
            std::memcpy(to + 4, &w, 4);
            std::memcpy(to + 8, &w, 4);
            std::memcpy(to + 12, &w, 4);
            std::memcpy(to + 16, &w, 4);
            std::memcpy(to + 20, &w, 4);
            std::memcpy(to + 24, &w, 4);
            std::memcpy(to + 28, &w, 4);
            to += 32;
        }
        n &= 31;
    }
    while (n >= 8) {
        to[0] = c; to[1] = c; to[2] = c; to[3] = c;
        to[4] = c; to[5] = c; to[6] = c; to[7] = c;
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
