#include "support/format.h"

#include <gtest/gtest.h>

#include <climits>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "support/internal.h"

namespace {

void append(int c, void* arg) { static_cast<std::string*>(arg)->push_back(static_cast<char>(c)); }

// Runs the engine into a string and checks that the count it returns is the
// number of characters it actually handed over.
template <class... A>
std::string F(const char* fmt, const A&... args) {
    SUP_CAPTURE(list, args);
    std::string out;
    const int n = sup::format(append, &out, fmt, list);
    EXPECT_EQ(static_cast<std::size_t>(n), out.size()) << "count for format " << fmt;
    return out;
}

TEST(Format, PlainTextAndEmpty) {
    EXPECT_EQ(F(""), "");
    EXPECT_EQ(F("hello, world\n"), "hello, world\n");
    EXPECT_EQ(F("100%%"), "100%");
}

TEST(Format, WidthFlagsAndPrecisionOnIntegers) {
    EXPECT_EQ(F("%5d", 42), "   42");
    EXPECT_EQ(F("%-5d|", 42), "42   |");
    EXPECT_EQ(F("%05d", -42), "-0042");
    EXPECT_EQ(F("%5d", -5), "   -5");
    EXPECT_EQ(F("%.3d", 7), "007");
    EXPECT_EQ(F("%08.3d", 7), "     007");
    EXPECT_EQ(F("%+d %+d % d", 5, -5, 5), "+5 -5  5");
    EXPECT_EQ(F("%+d", 0), "+0");
    EXPECT_EQ(F("%+.0d|%.0d|%5.0d|", 0, 0, 0), "+||     |");
    EXPECT_EQ(F("%-05d|", -3), "-3   |");
    EXPECT_EQ(F("%d", std::numeric_limits<int>::min()), "-2147483648");
}

TEST(Format, AlternateFormsAndZero) {
    EXPECT_EQ(F("%#x", 255), "0xff");
    EXPECT_EQ(F("%#X", 255), "0XFF");
    EXPECT_EQ(F("%#x", 0), "0");
    EXPECT_EQ(F("%#o", 8), "010");
    EXPECT_EQ(F("%#o", 0), "0");
    EXPECT_EQ(F("%.3x", 0), "000");
    EXPECT_EQ(F("%.0x|", 0), "|");
    EXPECT_EQ(F("%#08x", 255), "0x0000ff");
    EXPECT_EQ(F("%05.1x", 0), "    0");
}

TEST(Format, UpperCaseLongConversions) {
    EXPECT_EQ(F("%X", 10), "A");
    EXPECT_EQ(F("%02X", 0x5), "05");
    EXPECT_EQ(F("%02X", 200), "C8");
    EXPECT_EQ(F("%X", -1), "FFFFFFFF");
    EXPECT_EQ(F("%D %O %Z", -7, 8, 5), "-7 10 101");
    // A long is 32 bits to the engine, whatever the caller's type.
    EXPECT_EQ(F("%ld", static_cast<long>(0x100000005LL)), "5");
    EXPECT_EQ(F("%lx", -1L), "ffffffff");
    EXPECT_EQ(F("%X", static_cast<std::uint64_t>(0x123456789ULL)), "23456789");
}

TEST(Format, UpperCaseSyntax) {
    EXPECT_EQ(F("%UD", -1), "4294967295");
    EXPECT_EQ(F("%U", -1), "4294967295");
    EXPECT_EQ(F("%U|", 3), "3|");
    EXPECT_EQ(F("%CD", 200), "-56");
    EXPECT_EQ(F("%CX", 200), "C8");
    EXPECT_EQ(F("%UCD", 200), "200");
    EXPECT_EQ(F("%SD %SX", 0x18000, -1), "-32768 FFFF");
    EXPECT_EQ(F("%C %S", 0x1ff, 0x1ffff), "-1 -1");
    EXPECT_EQ(F("%LX", 0xabcL), "ABC");
    EXPECT_EQ(F("%ID %IX", -3, 255), "-3 FF");
    EXPECT_EQ(F("%UX %UO %UZ", 255, 8, 6), "FF 10 110");
    EXPECT_EQ(F("%Lf", 12), "12f");
    EXPECT_EQ(F("%+U %+UD % UD", 5, 5, 5), "+5 +5  5");
    EXPECT_EQ(F("%+u % u", 5, 5), "5 5");
}

TEST(Format, LengthModifiers) {
    EXPECT_EQ(F("%lld", -1LL), "-1");
    EXPECT_EQ(F("%llx", 1ULL << 32), "100000000");
    EXPECT_EQ(F("%llX", 0xFFFFFFFFFFFFFFFFULL), "FFFFFFFFFFFFFFFF");
    EXPECT_EQ(F("%lld", std::numeric_limits<long long>::min()), "-9223372036854775808");
    EXPECT_EQ(F("%llu %llo", 18446744073709551615ULL, 8ULL), "18446744073709551615 10");
    EXPECT_EQ(F("%hd %hu %hx", 0x18000, -1, 0x12345), "-32768 65535 2345");
    EXPECT_EQ(F("%hhd", 0x10005), "5hd");
    EXPECT_EQ(F("%ls", 7), "7s");
    EXPECT_EQ(F("%li %lu %lo %lX", -2, -1, 9, 0xabL), "-2 4294967295 11 AB");
    EXPECT_EQ(F("%zu", 5), "101u");
    EXPECT_EQ(F("%jd", 5), "jd");
}

TEST(Format, CharactersStringsAndBoundedStrings) {
    EXPECT_EQ(F("%c%c", 'a', 'b'), "ab");
    EXPECT_EQ(F("%3c|%-3c|%.0c", 'x', 'y', 'z'), "  x|y  |z");
    EXPECT_EQ(F("%05s", "ab"), "000ab");
    EXPECT_EQ(F("%03c", 'q'), "00q");
    EXPECT_EQ(F("%.2s", "abc"), "ab");
    EXPECT_EQ(F("%-5s|%5s", "ab", "cd"), "ab   |   cd");
    EXPECT_EQ(F("%b", "abcdef", 3), "abc");
    EXPECT_EQ(F("%.1b", "abcdef", 4), "abcd");
    EXPECT_EQ(F("%b", "abcdef", -1), "abcdef");
    EXPECT_EQ(F("%s", static_cast<const char*>(nullptr)), "(NULL POINTER)");
    EXPECT_EQ(F("%.3s", static_cast<const char*>(nullptr)), "(NULL POINTER)");
    EXPECT_EQ(F("%.*s|", -1, "abc"), "|");
    EXPECT_EQ(F("%-*d|", 4, 1), "1   |");
    EXPECT_EQ(F("%*d|", -4, 1), "1   |");
    EXPECT_EQ(F("%10 |"), "          |");
    EXPECT_EQ(F("%-3 |"), "   |");
    EXPECT_EQ(F("%3%|"), "  %|");
}

TEST(Format, BoundedStringReadsNoFurtherThanThePrecision) {
    const char unterminated[3] = {'a', 'b', 'c'};
    EXPECT_EQ(F("%.3s", static_cast<const char*>(unterminated)), "abc");
    EXPECT_EQ(F("%b", static_cast<const char*>(unterminated), 2), "ab");
}

TEST(Format, PointerIsFullWidthUpperCaseWithoutPrefix) {
    const void* p = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(0x7ffdeadbeef0ULL));
    EXPECT_EQ(F("%p", p), "7FFDEADBEEF0");
    EXPECT_EQ(F("%#p", p), "0X7FFDEADBEEF0");
    EXPECT_EQ(F("%p", nullptr), "0");
}

TEST(Format, NestedFormatAndCount) {
    auto inner = sup::pack(1, 2);
    sup::Nested n{"%d-%d", inner.list()};
    EXPECT_EQ(F("<%r>", n), "<1-2>");
    EXPECT_EQ(F("%5.2R|", n), "1-2|");
    // The nested list has its own cursor: the same Nested prints twice.
    EXPECT_EQ(F("%r %r %d", n, n, 3), "1-2 1-2 3");
    int before = -1, inside = -1;
    auto in2 = sup::pack(&inside);
    sup::Nested counting{"xy%n", in2.list()};
    EXPECT_EQ(F("abc%r%n", counting, &before), "abcxy");
    EXPECT_EQ(inside, 2);
    EXPECT_EQ(before, 5);
}

TEST(Format, NestedFormatContainingItselfStops) {
    sup::Arg self[1];
    sup::Nested n{"a%r", sup::ArgList(self, 1)};
    self[0] = sup::capture(n);
    EXPECT_EQ(F("%r", n), std::string(64, 'a'));
    // Two references per level would double the work at every level.
    sup::Arg pair[2];
    sup::Nested twice{"b%r%r", sup::ArgList(pair, 2)};
    pair[0] = pair[1] = sup::capture(twice);
    EXPECT_EQ(F("%r", twice), std::string(1024, 'b'));
}

TEST(Format, CountStoredByN) {
    int n = -1;
    EXPECT_EQ(F("12345%n6", &n), "123456");
    EXPECT_EQ(n, 5);
}

TEST(Format, UnknownConversionsAndTheEnd) {
    EXPECT_EQ(F("%y"), "y");
    EXPECT_EQ(F("%5k"), "5k");
    EXPECT_EQ(F("%-+#05.3k|"), "-+#05.3k|");
    EXPECT_EQ(F("abc%"), "abc");
    EXPECT_EQ(F("abc%5"), "abc5");
    EXPECT_EQ(F("%E %F %G %a %A %t"), "E F G a A t");
    EXPECT_EQ(F("%l", 7), "7");
    EXPECT_EQ(F("%U", 7), "7");
    EXPECT_EQ(F("%h", 7), "7");
}

TEST(Format, MissingArgumentsReadAsZeroOrNull) {
    EXPECT_EQ(F("%d %x %s %c|", 1), std::string("1 0 (NULL POINTER) \0|", 21));
    EXPECT_EQ(F("%d %s"), "0 (NULL POINTER)");
    EXPECT_EQ(F("%r|%n|%e"), "||0.000000e+00");
    // Mismatched kinds have a defined result too.
    EXPECT_EQ(F("%s", 5), "(NULL POINTER)");
    EXPECT_EQ(F("%d", 2.5), "0");
    EXPECT_EQ(F("%.1f", 3), "3.0");
}

TEST(Format, FloatingPoint) {
    EXPECT_EQ(F("%.0f", 2.0), "2.");
    EXPECT_EQ(F("%.0e", 2.0), "2.e+00");
    EXPECT_EQ(F("%e", 12345.678), "1.234568e+04");
    EXPECT_EQ(F("%e", 1e100), "1.000000e+100");
    EXPECT_EQ(F("%e", -1.5e-7), "-1.500000e-07");
    EXPECT_EQ(F("%f", 3.14159), "3.141590");
    EXPECT_EQ(F("%.2f", 0.001), "0.00");
    EXPECT_EQ(F("%.3f", 0.05), "0.050");
    EXPECT_EQ(F("%.2f", -1.5), "-1.50");
    EXPECT_EQ(F("%08.2f", -1.5), "000-1.50");
    EXPECT_EQ(F("%-8.1f|", 2.25), "2.2     |");
    EXPECT_EQ(F("%+f % f %#.0f", 1.0, 1.0, 1.0), "1.000000 1.000000 1.");
    EXPECT_EQ(F("%f", std::nan("")), "(NaN)");
    EXPECT_EQ(F("%e", -std::numeric_limits<double>::infinity()), "(Infinity)");
    EXPECT_EQ(F("%7f|", std::numeric_limits<double>::infinity()), "(Infinity)|");
    EXPECT_EQ(F("%g %g", 0.5, 100000.0), "0.5 100000");
    EXPECT_EQ(F("%g", 1e20), "1e+20");
    EXPECT_EQ(F("%.0g %.3g", 123.0, 3.14159), "1e+02 3.14");
    EXPECT_EQ(F("%f", 1.5f), "1.500000");
}

TEST(Fconv, TextsAndLengths) {
    char buf[sup::FCONV_BUFSIZE];
    EXPECT_EQ(sup::ftoes(buf, std::nan(""), 0, 6), 5);
    EXPECT_STREQ(buf, "(NaN)");
    EXPECT_EQ(sup::ftofs(buf, -std::numeric_limits<double>::infinity(), 0, 6), 10);
    EXPECT_STREQ(buf, "(Infinity)");
    EXPECT_EQ(sup::ftoes(buf, 1.5, 10, 2), 10);
    EXPECT_STREQ(buf, "  1.50e+00");
    EXPECT_EQ(sup::ftofs(buf, -1.5, 7, 2), 7);
    EXPECT_STREQ(buf, "  -1.50");
    EXPECT_EQ(sup::ftofs(buf, 123.456, 0, 1), 5);
    EXPECT_STREQ(buf, "123.5");
    EXPECT_EQ(sup::ftoes(buf, 0.0, 0, 2), 8);
    EXPECT_STREQ(buf, "0.00e+00");
}

TEST(Format, DeparturesFromStandardPrintf) {
    // One line per departure of the engine from the C library.
    EXPECT_EQ(F("%D|%X", 0x7fffffff, 255), "2147483647|FF");            // D, O, X, Z take a long
    EXPECT_EQ(F("%z|%Z|%zu", 5, 6, 5), "101|110|101u");                 // binary; z is no modifier
    EXPECT_EQ(F("%p", reinterpret_cast<const void*>(0xabcUL)), "ABC");  // p: no prefix
    EXPECT_EQ(F("%#p", reinterpret_cast<const void*>(0xabcUL)), "0XABC");
    EXPECT_EQ(F("%b|%4 |", "xyz", 2), "xy|    |");           // b and blank
    EXPECT_EQ(F("%C|%S|%L", 65, 66, 67), "65|66|67");        // C, S, L are sizes
    EXPECT_EQ(F("%hhd|%jd|%td|%Lf", 1, 2), "1hd|jd|td|2f");  // no hh, j, t, L
    EXPECT_EQ(F("%.*d", -1, 0), "");                         // negative * precision is 0
    EXPECT_EQ(F("%.0e|%.0f", 1.0, 1.0), "1.e+00|1.");        // point always
    EXPECT_EQ(F("%+e|% f|%#g", 1.0, 1.0, 1.0), "1.000000e+00|1.000000|1");
    EXPECT_EQ(F("%08.1f", -2.0), "0000-2.0");  // zero fill before sign
    EXPECT_EQ(F("%f|%e", -std::nan(""), std::numeric_limits<double>::infinity()), "(NaN)|(Infinity)");
    EXPECT_EQ(F("%E|%F|%G|%a|%A", 1.0), "E|F|G|a|A");  // no such conversions
    EXPECT_EQ(F("%s", static_cast<const char*>(nullptr)), "(NULL POINTER)");
    EXPECT_EQ(F("%-7q|"), "-7q|");           // unknown: no '%'
    EXPECT_EQ(F("%+UD|%+u", 1, 1), "+1|1");  // flags on D, not u
}

// Where a conversion ends and what it holds, apart from any argument.
TEST(Format, ParsedConversions) {
    struct Row {
        const char* text;  // what follows the '%'
        int used;          // characters that belong to the conversion
        char conv, size, type;
        int flags, width, prec;
        bool ljust, width_arg, prec_arg;
    };
    using sup::detail::F_ALT, sup::detail::F_BLANK, sup::detail::F_PLUS;
    const Row rows[] = {
        {"-+ #012.5d|", 10, 'I', 'I', 'D', F_PLUS | F_BLANK | F_ALT, 12, 5, true, false, false},
        {"*.*x", 4, 'I', 'I', 'x', 0, 0, -1, false, true, true},
        {".s", 2, 's', 'I', 'D', 0, 0, 0, false, false, false},
        {"99999999999u", 12, 'I', 'I', 'U', 0, INT_MAX, -1, false, false, false},
        {"U|", 1, 'I', 'I', 'D', 0, 0, -1, false, false, false},
        {"UCD", 3, 'I', 'C', 'D', 0, 0, -1, false, false, false},
        {"SX", 2, 'I', 'S', 'X', 0, 0, -1, false, false, false},
        {"Lf", 1, 'I', 'L', 'D', 0, 0, -1, false, false, false},
        {"hhd", 1, 'I', 'S', 'D', 0, 0, -1, false, false, false},
        {"lllo", 4, 'I', 'Q', 'O', 0, 0, -1, false, false, false},
        {"l", 1, 'I', 'L', 'D', 0, 0, -1, false, false, false},
        {"p", 1, 'I', 'P', 'P', 0, 0, -1, false, false, false},
        {"5k", 2, 'k', 'I', 'D', 0, 5, -1, false, false, false},
        {"5", 1, '\0', 'I', 'D', 0, 5, -1, false, false, false},
    };
    for (const Row& r : rows) {
        const sup::detail::Conversion cv = sup::detail::parse_conversion(r.text);
        SCOPED_TRACE(r.text);
        EXPECT_EQ(cv.begin, r.text);
        EXPECT_EQ(cv.end - r.text, r.used);
        EXPECT_EQ(cv.conv, r.conv);
        if (cv.conv == 'I') {
            EXPECT_EQ(cv.size, r.size);
            EXPECT_EQ(cv.type, r.type);
        }
        EXPECT_EQ(cv.flags, r.flags);
        EXPECT_EQ(cv.width, r.width);
        EXPECT_EQ(cv.prec, r.prec);
        EXPECT_EQ(cv.ljust, r.ljust);
        EXPECT_EQ(cv.width_arg, r.width_arg);
        EXPECT_EQ(cv.prec_arg, r.prec_arg);
    }
    EXPECT_EQ(sup::detail::parse_conversion("0x").fill, '0');
    EXPECT_TRUE(sup::detail::parse_conversion("lu").uns);
}

}  // namespace
