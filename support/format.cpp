// The formatted-output engine.
//
// Every conversion is built in a 512-byte work buffer on the stack and handed
// to the caller's output function one character at a time. Integers are
// narrowed here, from the captured 64-bit value, to the size the conversion
// names, so the 32-bit rules hold whatever type the caller passed.
#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "support/format.h"
#include "support/internal.h"

namespace sup {
namespace {

const char dtab[] = "0123456789abcdef";
const char udtab[] = "0123456789ABCDEF";
const char uc_open[] = "UCSIL";        // open the upper-case syntax
const char uc_after_u[] = "CSILZODX";  // may follow a leading U
const char type_letters[] = "ZODX";
const char after_hl[] = "udioxX";  // conversions after h, l and ll
const char empty_text[] = "";
const char zero_text[] = "0";
const char minus_text[] = "-";
const char plus_text[] = "+";
const char blank_text[] = " ";
const char hex_lower[] = "0x";
const char hex_upper[] = "0X";
const char null_text[] = "(NULL POINTER)";

constexpr int kWorkBuf = FCONV_BUFSIZE;
// gcvt's text is at most its digit count plus 8 (sign, point, "e-308").
constexpr int kMaxGDigits = kWorkBuf - 16;
// Nested formats run per call of format, at most, in all and in depth. Only
// a list that contains its own %r argument gets near either: without the
// total, two %r in such a format would double the work at every level.
constexpr int kMaxNested = 1024;
constexpr int kMaxNesting = 64;

using detail::Conversion;
using detail::F_ALT;
using detail::F_BLANK;
using detail::F_PLUS;

struct State {
    OutFunc out;
    void* farg;
    int ljust;
    int flags;
    int width;
    int prec;
    int zfill;  // -1: integer text, zero-padded up to the precision
    char* buf;
    char* cursor;
    char fill;
    const char* prefix;
    int prefixlen;
};

// The end of the format never matches a letter set.
bool in_set(const char* set, char c) { return c != '\0' && std::strchr(set, c) != nullptr; }

inline void put(const State& st, char c) { st.out(static_cast<signed char>(c), st.farg); }

void put_n(const State& st, char c, long long n) {
    for (; n > 0; n--) put(st, c);
}

void put_text(const State& st, const char* s) {
    for (; *s != '\0'; s++) put(st, *s);
}

long long prbuf(State& st, const char* text) {
    const long long len = static_cast<long long>(std::strlen(text));
    const long long zeros = st.zfill == -1 && len < st.prec ? st.prec - len : 0;
    long long total = len + zeros + st.prefixlen;
    long long padding = st.width - total;
    if (padding > 0) total += padding;
    if (st.prefixlen != 0 && st.fill != ' ') put_text(st, st.prefix);
    if (!st.ljust) put_n(st, st.fill, padding);
    if (st.prefixlen != 0 && st.fill == ' ') put_text(st, st.prefix);
    put_n(st, '0', zeros);
    put_text(st, text);
    if (st.ljust) put_n(st, ' ', padding);
    return total;
}

long long prc(State& st, char c) {
    const long long total = st.width > 1 ? st.width : 1;
    if (!st.ljust) put_n(st, st.fill, total - 1);
    put(st, c);
    if (st.ljust) put_n(st, ' ', total - 1);
    return total;
}

long long prstring(State& st, const char* s) {
    if (s == nullptr) return prbuf(st, null_text);
    if (st.prec < 0) return prbuf(st, s);
    // The copy is bounded by the work buffer, whatever the precision says.
    const int max = st.prec < kWorkBuf - 1 ? st.prec : kWorkBuf - 1;
    int n = 0;
    while (n < max && s[n] != '\0') {
        st.buf[n] = s[n];
        n++;
    }
    st.buf[n] = '\0';
    return prbuf(st, st.buf);
}

// Digits of v, least significant first, in front of the cursor. One writer
// for every base; a constant base makes the division a shift or multiply.
template <unsigned Base>
void prnum(State& st, std::uint64_t v, const char* tab) {
    char* p = st.cursor;
    do {
        *--p = tab[v % Base];
        v /= Base;
    } while (v != 0);
    st.cursor = p;
}

void set_prefix(State& st, const char* prefix) {
    st.prefix = prefix;
    st.prefixlen = static_cast<int>(std::strlen(prefix));
}

long long zero_rule(State& st) {
    st.zfill = -1;
    if (st.prec >= 0) st.fill = ' ';
    return prstring(st, zero_text);
}

// v holds the narrowed value: sign-extended for a signed decimal, else
// zero-extended.
long long print_int(State& st, std::uint64_t v, char type, bool uns) {
    st.cursor = st.buf + kWorkBuf - 1;
    *st.cursor = '\0';
    if (v == 0 && type != 'D') return zero_rule(st);
    switch (type) {
    case 'D':
        if (!uns && static_cast<std::int64_t>(v) < 0) {
            set_prefix(st, minus_text);
            v = 0 - v;
        } else if (st.flags & F_PLUS) {
            set_prefix(st, plus_text);
        } else if (st.flags & F_BLANK) {
            set_prefix(st, blank_text);
        }
        if (v == 0) return zero_rule(st);
        prnum<10>(st, v, dtab);
        break;
    case 'U': prnum<10>(st, v, dtab); break;
    case 'O':
        if (st.flags & F_ALT) set_prefix(st, zero_text);
        prnum<8>(st, v, dtab);
        break;
    case 'x':
        if (st.flags & F_ALT) set_prefix(st, hex_lower);
        prnum<16>(st, v, dtab);
        break;
    case 'X':
    case 'P':
        if (st.flags & F_ALT) set_prefix(st, hex_upper);
        prnum<16>(st, v, udtab);
        break;
    default:  // 'Z'
        prnum<2>(st, v, dtab);
        break;
    }
    st.zfill = -1;
    if (st.prec >= 0) st.fill = ' ';
    return prbuf(st, st.cursor);
}

// --- argument fetching: a missing or mismatched argument reads as 0/null ---

std::uint64_t raw_int(const Arg& a) {
    switch (a.kind) {
    case Arg::kInt: return static_cast<std::uint64_t>(a.i);
    case Arg::kString: return reinterpret_cast<std::uintptr_t>(a.s);
    case Arg::kPointer: return reinterpret_cast<std::uintptr_t>(a.p);
    case Arg::kIntPtr: return reinterpret_cast<std::uintptr_t>(a.n);
    case Arg::kNested: return reinterpret_cast<std::uintptr_t>(a.r);
    default: return 0;
    }
}

// Size letters: C 8 bits, S 16, P and Q 64, everything else 32.
std::uint64_t fetch_int(ArgList& args, char size, bool sign_extend) {
    const std::uint64_t raw = raw_int(args.next());
    switch (size) {
    case 'C':
        return sign_extend ? static_cast<std::uint64_t>(static_cast<std::int8_t>(raw))
                           : static_cast<std::uint8_t>(raw);
    case 'S':
        return sign_extend ? static_cast<std::uint64_t>(static_cast<std::int16_t>(raw))
                           : static_cast<std::uint16_t>(raw);
    case 'P':
    case 'Q': return raw;
    default:
        return sign_extend ? static_cast<std::uint64_t>(static_cast<std::int32_t>(raw))
                           : static_cast<std::uint32_t>(raw);
    }
}

int fetch_int32(ArgList& args) { return static_cast<int>(fetch_int(args, 'I', true)); }

double fetch_double(ArgList& args) {
    const Arg& a = args.next();
    if (a.kind == Arg::kDouble) return a.d;
    if (a.kind == Arg::kInt)
        return a.is_signed ? static_cast<double>(a.i) : static_cast<double>(static_cast<std::uint64_t>(a.i));
    return 0.0;
}

const char* fetch_string(ArgList& args) {
    const Arg& a = args.next();
    return a.kind == Arg::kString ? a.s : nullptr;
}

// A run of decimal digits; saturates instead of overflowing.
int parse_num(const char*& p) {
    long long v = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        if (v < INT_MAX) v = v * 10 + (*p - '0');
    }
    return v > INT_MAX ? INT_MAX : static_cast<int>(v);
}

long long print_fixed_int(State& st, ArgList& args, char size, char type, bool uns) {
    return print_int(st, fetch_int(args, size, type == 'D' && !uns), type, uns);
}

// The one-letter integer conversions: size and type of each (size 0: none).
struct IntForm {
    char size = 0;
    char type = 0;
};

constexpr std::array<IntForm, 128> make_int_forms() {
    constexpr char rows[][3] = {{'d', 'I', 'D'}, {'i', 'I', 'D'}, {'u', 'I', 'U'}, {'o', 'I', 'O'},
                                {'x', 'I', 'x'}, {'z', 'I', 'Z'}, {'D', 'L', 'D'}, {'O', 'L', 'O'},
                                {'X', 'L', 'X'}, {'Z', 'L', 'Z'}, {'p', 'P', 'P'}};
    std::array<IntForm, 128> forms{};
    for (const auto& r : rows) forms[static_cast<unsigned char>(r[0])] = {r[1], r[2]};
    return forms;
}

constexpr std::array<IntForm, 128> int_forms = make_int_forms();

void set_integer(Conversion& cv, char size, char type, bool uns) {
    cv.conv = 'I';
    cv.size = size;
    cv.type = type;
    cv.uns = uns;
}

// Inlined into the engine's loop, so that parsing apart from rendering costs
// the short formats nothing.
[[gnu::always_inline]] inline Conversion parse(const char* fmt) {
    Conversion cv;
    cv.begin = fmt;
    for (;; fmt++) {
        const char c = *fmt;
        if (c == '+')
            cv.flags |= F_PLUS;
        else if (c == ' ')
            cv.flags |= F_BLANK;
        else if (c == '#')
            cv.flags |= F_ALT;
        else if (c == '-')
            cv.ljust = true;
        else if (c == '0')
            cv.fill = '0';
        else
            break;
    }
    if (*fmt == '*') {
        fmt++;
        cv.width_arg = true;
    } else {
        cv.width = parse_num(fmt);
    }
    if (*fmt == '.') {
        fmt++;
        if (*fmt == '*') {
            fmt++;
            cv.prec_arg = true;
        } else {
            cv.prec = parse_num(fmt);
        }
    }

    char c = *fmt;
    if (in_set(uc_open, c)) {
        bool uns = false;
        char size = 'I';
        char type = 'D';
        if (c == 'U') {
            uns = true;
            c = *++fmt;
        }
        if (!in_set(uc_after_u, c)) {
            // %U alone: the character is not part of the conversion
        } else if (in_set(type_letters, c)) {
            type = c;
            fmt++;
        } else {
            size = c;
            c = *++fmt;
            if (in_set(type_letters, c)) {
                type = c;
                fmt++;
            }
        }
        set_integer(cv, size, type, uns);
        cv.end = fmt;
        return cv;
    }

    const auto uc = static_cast<unsigned char>(c);
    if (uc < int_forms.size() && int_forms[uc].size != 0) {
        const IntForm form = int_forms[uc];
        set_integer(cv, form.size, form.type, form.type == 'U');
        cv.end = fmt + 1;
        return cv;
    }
    switch (c) {
    case 'h':
    case 'l': {
        char size = c == 'h' ? 'S' : 'L';
        if (c == 'l') {
            while (fmt[1] == 'l') {
                size = 'Q';
                fmt++;
            }
        }
        char type = 'D';
        bool uns = false;
        c = fmt[1];
        if (in_set(after_hl, c)) {
            fmt++;
            if (c == 'u') {
                type = 'U';
                uns = true;
            } else if (c == 'o') {
                type = 'O';
            } else if (c == 'x' || c == 'X') {
                type = c;
            }
        }
        set_integer(cv, size, type, uns);
        break;
    }
    default: cv.conv = c; break;
    }
    // The end of the format belongs to no conversion.
    cv.end = *fmt == '\0' ? fmt : fmt + 1;
    return cv;
}

struct Nesting {
    int depth;
    int budget;
};

long long run(OutFunc out, void* farg, const char* fmt, ArgList& args, Nesting& nest);

// Prints one parsed conversion; count is what the run has printed before it.
long long render(const Conversion& cv, State& st, ArgList& args, long long count, Nesting& nest) {
    st.ljust = cv.ljust;
    st.flags = cv.flags;
    st.width = cv.width;
    st.prec = cv.prec;
    st.zfill = 0;
    st.fill = cv.fill;
    st.prefix = empty_text;
    st.prefixlen = 0;
    st.buf[0] = '\0';
    st.cursor = st.buf;
    // Star arguments come before the value, width first.
    if (cv.width_arg) {
        int w = fetch_int32(args);
        if (w < 0) {
            st.ljust = 1;
            w = w == INT_MIN ? INT_MAX : -w;
        }
        st.width = w;
    }
    if (cv.prec_arg) {
        const int p = fetch_int32(args);
        st.prec = p < 0 ? 0 : p;
    }

    switch (cv.conv) {
    case 'I': return print_fixed_int(st, args, cv.size, cv.type, cv.uns);
    case 'c': return prc(st, static_cast<char>(fetch_int32(args)));
    case 's': return prstring(st, fetch_string(args));
    case 'b': {
        const char* s = fetch_string(args);
        const int n = fetch_int32(args);
        st.prec = n < 0 ? -1 : n;
        return prstring(st, s);
    }
    case 'e':
    case 'f': {
        const double v = fetch_double(args);
        const int n = st.prec < 0 ? 6 : st.prec;
        if (cv.conv == 'e')
            ftoes(st.buf, v, 0, n);
        else
            ftofs(st.buf, v, 0, n);
        return prbuf(st, st.buf);
    }
    case 'g': {
        const double v = fetch_double(args);
        int n = st.prec < 0 ? 6 : st.prec == 0 ? 1 : st.prec;
        if (n > kMaxGDigits) n = kMaxGDigits;
        // gcvt writes into the buffer it is given and returns it.
        return prbuf(st, gcvt(v, n, st.buf));
    }
    case 'r':
    case 'R': {
        const Arg& a = args.next();
        if (a.kind != Arg::kNested || a.r == nullptr || nest.depth >= kMaxNesting || nest.budget <= 0)
            return 0;
        ArgList nested = a.r->args;
        nest.depth++;
        nest.budget--;
        const long long n = run(st.out, st.farg, a.r->fmt, nested, nest);
        nest.depth--;
        return n;
    }
    case 'n': {
        const Arg& a = args.next();
        if (a.kind == Arg::kIntPtr && a.n != nullptr) *a.n = static_cast<int>(count);
        return 0;
    }
    case '%': return prc(st, '%');
    case ' ': return prbuf(st, empty_text);
    default:
        // Unknown: what followed the '%' goes out as it stands.
        for (const char* p = cv.begin; p < cv.end; p++) put(st, *p);
        return cv.end - cv.begin;
    }
}

long long run(OutFunc out, void* farg, const char* fmt, ArgList& args, Nesting& nest) {
    long long count = 0;
    if (fmt == nullptr) return 0;
    char workbuf[kWorkBuf];
    State st{};
    st.out = out;
    st.farg = farg;
    st.buf = workbuf;

    for (;;) {
        char c;
        while ((c = *fmt) != '%') {
            if (c == '\0') return count;
            out(static_cast<signed char>(c), farg);
            count++;
            fmt++;
        }
        const Conversion cv = parse(fmt + 1);
        count += render(cv, st, args, count, nest);
        fmt = cv.end;
    }
}

}  // namespace

Conversion detail::parse_conversion(const char* after_percent) { return parse(after_percent); }

int format(OutFunc out, void* farg, const char* fmt, ArgList args) {
    Nesting nest{0, kMaxNested};
    return static_cast<int>(run(out, farg, fmt, args, nest));
}

}  // namespace sup
