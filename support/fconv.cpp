// Exponent and fixed-point digit texts for the engine's e and f conversions.
#include <cmath>
#include <cstdlib>

#include "support/format.h"

namespace sup {
namespace {

const char _nan[] = "(NaN)";
const char _inf[] = "(Infinity)";

// Appends to the caller's buffer and silently drops what would not leave room
// for the terminator, whatever width, digit count or value the caller passes.
class Text {
public:
    explicit Text(char* buf) : start_(buf), p_(buf) {}
    bool full() const { return p_ - start_ >= FCONV_BUFSIZE - 1; }
    void put(char c) {
        if (!full()) *p_++ = c;
    }
    int finish() {
        *p_ = '\0';
        return static_cast<int>(p_ - start_);
    }

private:
    char* start_;
    char* p_;
};

// Digits asked of ecvt/fcvt beyond what any text of FCONV_BUFSIZE can show
// would only cost time.
constexpr int kMaxDigits = FCONV_BUFSIZE;

int clamp_digits(int n) { return n < 0 ? 0 : (n > kMaxDigits ? kMaxDigits : n); }

// Writes the text of a value without digits; 0 for an ordinary value.
int _ferr(char* buf, double value) {
    const char* t = std::isnan(value) ? _nan : std::isinf(value) ? _inf : nullptr;
    if (t == nullptr) return 0;
    Text out(buf);
    while (*t != '\0') out.put(*t++);
    return out.finish();
}

void pad(Text& out, int fieldwidth, int needed) {
    while (fieldwidth > needed && !out.full()) {
        out.put(' ');
        fieldwidth--;
    }
}

}  // namespace

int ftoes(char* buf, double value, int fieldwidth, int ndigits) {
    if (int len = _ferr(buf, value)) return len;
    const int n = clamp_digits(ndigits);
    int decpt = 0, sign = 0;
    const char* digits = ecvt(value, n + 1, &decpt, &sign);
    const int exp = decpt - 1;

    Text out(buf);
    pad(out, fieldwidth, n + 6 + (sign ? 1 : 0));
    if (sign) out.put('-');
    out.put(*digits != '\0' ? *digits++ : '0');
    out.put('.');
    for (int i = 0; i < n && *digits != '\0'; i++) out.put(*digits++);
    out.put('e');
    out.put(exp < 0 ? '-' : '+');
    unsigned a = exp < 0 ? 0u - static_cast<unsigned>(exp) : static_cast<unsigned>(exp);
    if (a > 99) out.put(static_cast<char>('0' + a / 100 % 10));
    out.put(static_cast<char>('0' + a / 10 % 10));
    out.put(static_cast<char>('0' + a % 10));
    return out.finish();
}

int ftofs(char* buf, double value, int fieldwidth, int ndigits) {
    if (int len = _ferr(buf, value)) return len;
    int n = clamp_digits(ndigits);
    int p = 0, sign = 0;
    const char* digits = fcvt(value, n, &p, &sign);

    Text out(buf);
    pad(out, fieldwidth, (p < 0 ? n + 1 : n + p + 1) + (sign ? 1 : 0));
    if (sign) out.put('-');
    if (p > 0) {
        for (int i = 0; i < p && *digits != '\0'; i++) out.put(*digits++);
    } else {
        out.put('0');
    }
    out.put('.');
    for (int i = p; i < 0 && n > 0; i++, n--) out.put('0');
    for (; n > 0 && *digits != '\0'; n--) out.put(*digits++);
    return out.finish();
}

}  // namespace sup
