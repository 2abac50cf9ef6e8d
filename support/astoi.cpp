// Number parsing with C-style base prefixes that tells where it stopped.
#include <cstdint>

#include "support/utils.h"

namespace sup {
namespace {

int digit_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 99;
}

}  // namespace

const char* astol(const char* s, long* l) {
    while (*s == ' ' || *s == '\t')
        s++;
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
    // 2^32, done unsigned so that the wrap is defined.
    std::uint32_t v = 0;
    for (;;) {
        auto d = static_cast<unsigned>(digit_value(*s));
        if (d >= base)
            break;
        v = v * base + d;
        s++;
    }
    if (neg)
        v = 0u - v;
    if (l != nullptr)
        *l = static_cast<std::int32_t>(v);
    return s;
}

const char* astoi(const char* s, int* i) {
    long l = 0;
    const char* end = astol(s, &l);
    if (i != nullptr)
        *i = static_cast<int>(l);
    return end;
}

}  // namespace sup
