// Number parsing with C-style base prefixes that tells where it stopped.
#include <cstdint>

#include "support/utils.h"

namespace sup {
namespace {

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

struct Number {
    const char* end;
    std::uint32_t wrapped;  // the value modulo 2^32
    bool fits_int;          // the value itself lies in the int range
};

Number parse(const char* s) {
    while (*s == ' ' || *s == '\t') s++;
    bool neg = false;
    if (*s == '+') {
        s++;
    } else if (*s == '-') {
        neg = true;
        s++;
    }
    unsigned base = 10;
    if (*s == '0') {
        base = 8;
        s++;
        if (*s == 'x' || *s == 'X') {
            base = 16;
            s++;
        }
    }
    // A long is 32 bits in this program's arithmetic: the value wraps modulo
    // 2^32, done unsigned so that the wrap is defined. The magnitude beside
    // it stops growing once it is past any int.
    constexpr std::uint64_t kPastInt = std::uint64_t{1} << 32;
    std::uint32_t v = 0;
    std::uint64_t magnitude = 0;
    for (;;) {
        auto d = static_cast<unsigned>(digit_value(*s));
        if (d >= base) break;
        v = v * base + d;
        if (magnitude < kPastInt) magnitude = magnitude * base + d;
        s++;
    }
    if (neg) v = 0u - v;
    const std::uint64_t limit = neg ? std::uint64_t{1} << 31 : (std::uint64_t{1} << 31) - 1;
    return {s, v, magnitude <= limit};
}

}  // namespace

const char* astol(const char* s, long* l) {
    const Number n = parse(s);
    if (l != nullptr) *l = static_cast<std::int32_t>(n.wrapped);
    return n.end;
}

const char* astoi_fits(const char* s, int* i, bool* fits) {
    const Number n = parse(s);
    if (i != nullptr) *i = static_cast<std::int32_t>(n.wrapped);
    if (fits != nullptr) *fits = n.fits_int;
    return n.end;
}

const char* astoi(const char* s, int* i) {
    long l = 0;
    const char* end = astol(s, &l);
    if (i != nullptr) *i = static_cast<int>(l);
    return end;
}

}  // namespace sup
