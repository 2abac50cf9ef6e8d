#include "support/hexbytes.h"
#include "support/utils.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/internal.h"
#include "testing/testsupport.h"

namespace {

TEST(SaveArgs, ProgramNameFallbacksAndCopies) {
    // A re-executed child sees the state before any test touched it.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            bool ok = std::strcmp(sup::get_progname(), "?") == 0 && sup::saved_av0() == nullptr &&
                      sup::saved_ac() == 0 && sup::saved_av() == nullptr;
            std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");

    std::string name40(40, 'n');
    std::string name31(31, 's');
    char* av[] = {name40.data(), nullptr};
    sup::save_args(1, av);
    EXPECT_EQ(sup::saved_ac(), 1);
    EXPECT_EQ(sup::saved_av(), av);
    EXPECT_STREQ(sup::get_progname(), name40.c_str());
    EXPECT_NE(sup::get_progname(), name40.c_str()) << "a copy, not the argument";
    const char* heap_copy = sup::saved_av0();

    char* av2[] = {name31.data(), nullptr};
    sup::save_args(1, av2);
    EXPECT_STREQ(sup::get_progname(), name31.c_str());
    EXPECT_NE(sup::saved_av0(), heap_copy);
    const char* static_copy = sup::saved_av0();
    name31[0] = 'X';  // the copy does not follow the argument
    EXPECT_EQ(sup::get_progname()[0], 's');

    char* av3[] = {const_cast<char*>("/usr/bin/qvupdate"), nullptr};
    sup::save_args(1, av3);
    EXPECT_EQ(sup::saved_av0(), static_copy) << "short names reuse the static buffer";
    EXPECT_STREQ(sup::get_progname(), "/usr/bin/qvupdate");

    sup::set_progname("other");
    EXPECT_STREQ(sup::get_progname(), "other");
    sup::set_progname(nullptr);
    EXPECT_STREQ(sup::get_progname(), "/usr/bin/qvupdate");

    char* none[] = {nullptr};
    sup::save_args(0, none);
    EXPECT_STREQ(sup::get_progname(), "?");
    sup::save_args(1, none);
    EXPECT_STREQ(sup::get_progname(), "?");
    sup::save_args(1, nullptr);
    EXPECT_STREQ(sup::get_progname(), "?");
    EXPECT_EQ(sup::saved_av0(), nullptr);
}

// A buffer with guard bytes on both sides of the area under test.
struct Guarded {
    static constexpr int kGuard = 16;
    std::vector<unsigned char> mem;
    explicit Guarded(int size) : mem(size + 2 * kGuard + 8, 0xA5) {}
    unsigned char* at(int offset) { return mem.data() + kGuard + offset; }
};

TEST(Fillbytes, ExactExtentAtEveryAlignment) {
    // Every start modulo 32: the word passes choose their stores by it.
    for (int count : {0, 1, 3, 7, 8, 31, 32, 33, 63, 64, 100, 1000}) {
        for (int misalign = 0; misalign < 36; misalign++) {
            Guarded g(count + 40);
            // Start on a known alignment of the underlying storage.
            auto base = reinterpret_cast<std::uintptr_t>(g.at(0));
            int off = static_cast<int>((4 - base % 4) % 4) + misalign;
            unsigned char* to = g.at(off);
            void* end = sup::fillbytes(to, count, 0x1234);
            EXPECT_EQ(end, to + count);
            for (std::size_t i = 0; i < g.mem.size(); i++) {
                unsigned char* p = g.mem.data() + i;
                bool inside = p >= to && p < to + count;
                ASSERT_EQ(*p, inside ? 0x34 : 0xA5)
                    << "count " << count << " misalign " << misalign << " byte " << i;
            }
        }
    }
    unsigned char b[4] = {1, 2, 3, 4};
    EXPECT_EQ(sup::fillbytes(b, -5, 0), b);
    EXPECT_EQ(b[0], 1);
}

// Each version of movebytes the processor runs, alike.
class Movebytes : public testing::TestWithParam<void* (*)(const void*, void*, int)> {};
INSTANTIATE_TEST_SUITE_P(Versions, Movebytes, testing::ValuesIn(sup::detail::move_versions()));
TEST_P(Movebytes, OverlapInBothDirectionsWithoutSmearing) {
    // Every size class of the short moves, the passes and the string move, at
    // every source alignment modulo 32, with shifts that overlap either way or
    // keep the areas apart.
    const auto movebytes = GetParam();
    for (int count : {1, 2, 3, 4, 7, 8, 15, 16, 31, 32, 33, 63, 64, 65, 100, 128, 129, 257, 2100}) {
        for (int shift : {-33, -32, -8, -4, -1, 1, 3, 4, 8, 32, 33, 65, count + 5, -count - 5}) {
            for (int misalign = 0; misalign < 32; misalign++) {
                const int margin = count + 128;
                std::vector<unsigned char> mem(count + 2 * margin);
                for (std::size_t i = 0; i < mem.size(); i++) mem[i] = static_cast<unsigned char>(i % 251);
                std::vector<unsigned char> expect = mem;
                auto base = reinterpret_cast<std::uintptr_t>(mem.data());
                int from_off = margin + static_cast<int>((32 - base % 32) % 32) + misalign;
                int to_off = from_off + shift;
                std::memmove(expect.data() + to_off, expect.data() + from_off, count);
                void* end = movebytes(mem.data() + from_off, mem.data() + to_off, count);
                EXPECT_EQ(end, mem.data() + to_off + count);
                ASSERT_EQ(mem, expect) << "count " << count << " shift " << shift << " misalign " << misalign;
            }
        }
    }
    unsigned char a[4] = {1, 2, 3, 4}, b[4] = {};
    EXPECT_EQ(sup::movebytes(a, b, 0), b);
    EXPECT_EQ(sup::movebytes(a, b, -1), b);
    EXPECT_EQ(b[0], 0);
    EXPECT_EQ(sup::movebytes(a, a, 4), a + 4);
}

TEST_P(Movebytes, TouchesNothingOutsideTheAreas) {
    // Blocks of exactly the areas' size: the sanitizer build reports any load
    // or store past either end (the guard bytes above catch stores only).
    const auto movebytes = GetParam();
    for (int count = 1; count <= 140; count++) {
        for (int off = 0; off < 32; off++) {
            const int to_off = (off * 7) % 32;
            auto src = std::make_unique<unsigned char[]>(off + count);
            auto dst = std::make_unique<unsigned char[]>(to_off + count);
            for (int i = 0; i < count; i++) src[off + i] = static_cast<unsigned char>(i + 1);
            unsigned char* from = src.get() + off;
            unsigned char* to = dst.get() + to_off;
            EXPECT_EQ(movebytes(from, to, count), to + count);
            ASSERT_EQ(std::memcmp(from, to, count), 0) << "count " << count << " offset " << off;
            EXPECT_EQ(movebytes(to, from, count), from + count);
        }
    }
}

TEST(Hexbytes, TwoUpperCaseDigitsABytes) {
    const std::uint8_t b[] = {0x00, 0x0F, 0xA5, 0xFF};
    EXPECT_EQ(sup::hexbytes(b, 4), "000FA5FF");
    EXPECT_EQ(sup::hexbytes(b, 0), "");
}

TEST(Streql, NullIsNeverEqual) {
    EXPECT_EQ(sup::streql(nullptr, nullptr), 0);
    EXPECT_EQ(sup::streql("", nullptr), 0);
    EXPECT_EQ(sup::streql(nullptr, ""), 0);
    EXPECT_EQ(sup::streql("", ""), 1);
    EXPECT_EQ(sup::streql("abc", "abc"), 1);
    EXPECT_EQ(sup::streql("abc", "abcd"), 0);
    EXPECT_EQ(sup::streql("abcd", "abc"), 0);
    EXPECT_EQ(sup::streql("abc", "abd"), 0);
}

struct Parsed {
    long value;
    std::ptrdiff_t stop;
};
Parsed L(const char* s) {
    long v = 12345;
    const char* end = sup::astol(s, &v);
    return {v, end - s};
}

TEST(Astol, PrefixesSignsAndStops) {
    auto r = L("  \t-0x1F");
    EXPECT_EQ(r.value, -31);
    EXPECT_EQ(r.stop, 8);
    r = L("0x");
    EXPECT_EQ(r.value, 0);
    EXPECT_EQ(r.stop, 2);
    r = L("09");
    EXPECT_EQ(r.value, 0);
    EXPECT_EQ(r.stop, 1);
    r = L("12abc");
    EXPECT_EQ(r.value, 12);
    EXPECT_EQ(r.stop, 2);
    r = L("0777");
    EXPECT_EQ(r.value, 511);
    r = L("+0XfF,");
    EXPECT_EQ(r.value, 255);
    EXPECT_EQ(r.stop, 5);
    r = L("");
    EXPECT_EQ(r.value, 0);
    EXPECT_EQ(r.stop, 0);
    r = L("abc");
    EXPECT_EQ(r.value, 0);
    EXPECT_EQ(r.stop, 0);
    r = L("- 5");
    EXPECT_EQ(r.value, 0);
    EXPECT_EQ(r.stop, 1);
    r = L("\n5");
    EXPECT_EQ(r.stop, 0);
}

TEST(Astol, WrapsModulo2To32) {
    EXPECT_EQ(L("2147483647").value, 2147483647L);
    EXPECT_EQ(L("2147483648").value, -2147483648L);
    EXPECT_EQ(L("4294967295").value, -1L);
    EXPECT_EQ(L("4294967296").value, 0L);
    EXPECT_EQ(L("-2147483648").value, -2147483648L);
    EXPECT_EQ(L("0x1FFFFFFFF").value, -1L);
    EXPECT_EQ(L("99999999999999999999999").stop, 23);
    int i = 0;
    const char* s = "0x7fffffff";
    EXPECT_EQ(sup::astoi(s, &i), s + 10);
    EXPECT_EQ(i, 2147483647);
    EXPECT_EQ(*sup::astoi("-12x", &i), 'x');
    EXPECT_EQ(i, -12);
}

TEST(Astoi, FitsTellsWhereTheValueWrapped) {
    const struct {
        const char* text;
        bool fits;
    } cases[] = {
        {"2147483647", true},
        {"2147483648", false},
        {"-2147483648", true},
        {"-2147483649", false},
        {"0x7FFFFFFF", true},
        {"0x80000000", false},
        {"037777777777", false},
        {"4294967298", false},
        {"99999999999999999999999999", false},
        {"", true},
        {"-", true},
    };
    for (const auto& c : cases) {
        int wrapped = 0, i = 1;
        bool fits = !c.fits;
        const char* end = sup::astoi_fits(c.text, &i, &fits);
        EXPECT_EQ(fits, c.fits) << c.text;
        EXPECT_EQ(end, sup::astoi(c.text, &wrapped)) << c.text;
        EXPECT_EQ(i, wrapped) << c.text;  // the value itself is astoi's
    }
}

TEST(Fgetline, LongLinesAreCutAndTheRestDropped) {
    qvtest::CapturedStream t("abcdefg\nhi\n\nlast");
    char buf[5 + 8];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(sup::fgetline(t, buf, 5), 4);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(buf[5], 'Z');
    EXPECT_EQ(sup::fgetline(t, buf, 5), 2);
    EXPECT_STREQ(buf, "hi");
    EXPECT_EQ(sup::fgetline(t, buf, 5), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(sup::fgetline(t, buf, 5), 4);
    EXPECT_STREQ(buf, "last");
    EXPECT_EQ(sup::fgetline(t, buf, 5), -1);
    EXPECT_EQ(sup::fgetline(t, buf, 5), -1);
}

TEST(Fgetline, TinySizes) {
    qvtest::CapturedStream t("ab\ncd\n");
    char buf[4] = {'Z', 'Z', 'Z', 'Z'};
    EXPECT_EQ(sup::fgetline(t, buf, 0), -1);
    EXPECT_EQ(sup::fgetline(t, buf, -3), -1);
    EXPECT_EQ(buf[0], 'Z') << "a size below 1 stores nothing";
    EXPECT_EQ(sup::fgetline(t, buf, 1), 0);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], 'Z');
    EXPECT_EQ(sup::fgetline(t, buf, 2), 1);
    EXPECT_STREQ(buf, "c");
    EXPECT_EQ(sup::fgetline(t, buf, 2), -1);
}

}  // namespace
