// Nothing may write beyond a destination, whatever width, precision or value
// a format carries. Every destination here sits between guard bytes.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "support/comerr.h"
#include "support/format.h"
#include "support/printf.h"
#include "support/utils.h"
#include "testing/testsupport.h"

namespace {

constexpr int kGuard = 32;
constexpr unsigned char kPoison = 0xA5;

class GuardedBuf {
public:
    explicit GuardedBuf(std::size_t size) : size_(size), mem_(size + 2 * kGuard, kPoison) {}
    char* data() { return reinterpret_cast<char*>(mem_.data() + kGuard); }
    // True when no byte outside [0, size) changed.
    bool guards_intact() const {
        for (int i = 0; i < kGuard; i++) {
            if (mem_[i] != kPoison || mem_[kGuard + size_ + i] != kPoison) return false;
        }
        return true;
    }
    bool untouched() const {
        for (auto b : mem_)
            if (b != kPoison) return false;
        return true;
    }

private:
    std::size_t size_;
    std::vector<unsigned char> mem_;
};

void append(int c, void* arg) { static_cast<std::string*>(arg)->push_back(static_cast<char>(c)); }

std::string full_text(const char* fmt, sup::ArgList args) {
    std::string s;
    sup::format(append, &s, fmt, args);
    return s;
}

// zt_snprintf of one format at the sizes around the text's length.
void check_all_sizes(const char* fmt, sup::ArgList args, const std::string& label) {
    const std::string full = full_text(fmt, args);
    const int len = static_cast<int>(full.size());
    for (int size : {0, 1, 2, len - 1, len, len + 1, len + 2}) {
        if (size < 0) continue;
        GuardedBuf g(static_cast<std::size_t>(size));
        const int r = sup::zt_vsnprintf(g.data(), size, fmt, args);
        ASSERT_TRUE(g.guards_intact()) << label << " size " << size;
        if (size == 0) {
            EXPECT_EQ(r, -1);
            EXPECT_TRUE(g.untouched()) << label;
            continue;
        }
        EXPECT_EQ(r, len) << label << " size " << size;
        const std::size_t stored = std::min<std::size_t>(full.size(), static_cast<std::size_t>(size - 1));
        ASSERT_EQ(std::string(g.data(), stored), full.substr(0, stored)) << label;
        EXPECT_EQ(g.data()[stored], '\0') << label;
    }
}

template <class... A>
void check(const char* fmt, const A&... a) {
    auto p = sup::pack(a...);
    check_all_sizes(fmt, p.list(), fmt);
}

const int kSizes[] = {0, 1, 511, 512, 513, 4096, 100000};

TEST(Bounds, IntegerWidthsAndPrecisions) {
    char fmt[64];
    for (int n : kSizes) {
        for (const char* conv : {"d", "x", "X", "o", "z", "lld", "p", "UD", "CX"}) {
            std::snprintf(fmt, sizeof fmt, "%%%d%s", n, conv);
            check(fmt, -123456789);
            std::snprintf(fmt, sizeof fmt, "%%-#.%d%s", n, conv);
            check(fmt, -1);
            std::snprintf(fmt, sizeof fmt, "%%0%d.%d%s|", n, n, conv);
            check(fmt, 0);
        }
        check("%*d|%-*.*x|", n, 7, -n, n, 255);
        check("%.*d|%*.*o", -n, 0, n, -n, 0);
        EXPECT_EQ(full_text("%.*d", sup::pack(n, 5).list()).size(), static_cast<std::size_t>(n > 1 ? n : 1));
        EXPECT_EQ(full_text("%*d", sup::pack(-n, 5).list()).size(), static_cast<std::size_t>(n > 1 ? n : 1));
    }
    check("%.*d", INT_MIN, 3);
    EXPECT_EQ(full_text("%.*d", sup::pack(INT_MIN, 3).list()), "3");
}

TEST(Bounds, StringPrecisionIsClampedToTheWorkBuffer) {
    const std::string long_text(100000, 's');
    char fmt[64];
    for (int n : kSizes) {
        std::snprintf(fmt, sizeof fmt, "%%%d.%ds|%%.%db|%%%dc", n, n, n, n);
        check(fmt, long_text.c_str(), long_text.c_str(), n, 'c');
        check("%*.*s|", n, n, "short");
        check("%-*.*s|", n, n, long_text.c_str());
    }
    // At most 511 characters pass through the 512-byte work buffer.
    EXPECT_EQ(full_text("%.511s", sup::pack(long_text.c_str()).list()).size(), 511u);
    EXPECT_EQ(full_text("%.512s", sup::pack(long_text.c_str()).list()).size(), 511u);
    EXPECT_EQ(full_text("%.*s", sup::pack(INT_MAX, long_text.c_str()).list()).size(), 511u);
    EXPECT_EQ(full_text("%b", sup::pack(long_text.c_str(), 513).list()).size(), 511u);
    // Without a precision there is no copy and no limit.
    EXPECT_EQ(full_text("%s", sup::pack(long_text.c_str()).list()).size(), long_text.size());
    // Digit runs saturate instead of overflowing.
    EXPECT_EQ(full_text("%.99999999999999999999s", sup::pack("abc").list()), "abc");
}

TEST(Bounds, FloatingPointPrecisionsAndValues) {
    const double values[] = {0.0,
                             -0.0,
                             1.0,
                             -1.5,
                             1e-300,
                             5e-324,
                             1e300,
                             -1.7976931348623157e308,
                             123456.789,
                             std::nan(""),
                             -std::numeric_limits<double>::infinity()};
    char fmt[64];
    for (int n : kSizes) {
        for (const char* conv : {"e", "f", "g"}) {
            std::snprintf(fmt, sizeof fmt, "%%%d.%d%s|", n, n, conv);
            for (double v : values) {
                check(fmt, v);
                check("%*.*f|%-*.*e|", n, n, v, -n, n, v);
            }
        }
    }
    // The fixed text of the largest double with many places still fits.
    const std::string big = full_text("%.500f", sup::pack(-1.7976931348623157e308).list());
    EXPECT_LE(big.size(), 511u);
    EXPECT_EQ(big.substr(0, 10), "-179769313");
}

TEST(Bounds, FconvTextsNeverPassTheirBuffer) {
    for (int width : {0, 100, 511, 512, 513, INT_MAX}) {
        for (int digits : {0, 6, 17, 100, 400, 511, 512, 513, INT_MAX, -5}) {
            for (double v : {0.0, 1.0, -2.5e-310, 1e308, -1e308, 3.14}) {
                GuardedBuf g(sup::FCONV_BUFSIZE);
                int n = sup::ftoes(g.data(), v, width, digits);
                ASSERT_TRUE(g.guards_intact()) << "ftoes " << width << " " << digits << " " << v;
                ASSERT_LT(n, sup::FCONV_BUFSIZE);
                EXPECT_EQ(std::strlen(g.data()), static_cast<std::size_t>(n));
                GuardedBuf h(sup::FCONV_BUFSIZE);
                n = sup::ftofs(h.data(), v, width, digits);
                ASSERT_TRUE(h.guards_intact()) << "ftofs " << width << " " << digits << " " << v;
                ASSERT_LT(n, sup::FCONV_BUFSIZE);
                EXPECT_EQ(std::strlen(h.data()), static_cast<std::size_t>(n));
            }
        }
    }
}

TEST(Bounds, OrdinaryMessagesAtEverySize) {
    const char* name = "/usr/local/bin/qvupdate";
    check("%s: scsi sendcmd: %s\n", name, "retryable error");
    check("Upgrade %s (HA:%d ID:%d) in progress...", "QV-G253K", 1, 5);
    check(" %02X %02X %02X", 0x12, 0xff, 0);
    check("%5d|%-10s|%r", 42, "abc", sup::Nested{"%s", sup::pack("nested").list()});
    check("%n%s%n", static_cast<int*>(nullptr), "x", static_cast<int*>(nullptr));
}

TEST(Bounds, SprintfStopsAtItsTerminator) {
    const std::string full = "abc:   42:ffffffff";
    GuardedBuf g(full.size() + 1);
    EXPECT_EQ(sup::sprintf(g.data(), "%s:%5d:%x", "abc", 42, -1), static_cast<int>(full.size()));
    EXPECT_TRUE(g.guards_intact());
    EXPECT_EQ(std::string(g.data()), full);
}

TEST(Bounds, SerrmsgnoAtEverySize) {
    static char name[] = "qv";
    static char* av[] = {name, nullptr};
    sup::save_args(1, av);
    const std::string full = "qv: Error 4321. message 7";
    const int len = static_cast<int>(full.size());
    for (int size : {0, 1, len - 1, len, len + 1}) {
        GuardedBuf g(static_cast<std::size_t>(size));
        int r = sup::serrmsgno(4321, g.data(), size, "message %d", 7);
        EXPECT_TRUE(g.guards_intact()) << size;
        EXPECT_EQ(r, size == 0 ? -1 : len);
    }
}

TEST(Bounds, FgetlineAtEverySize) {
    std::string lines;
    for (int i = 0; i < 12; i++) lines += std::string(600, 'L') + "\n";
    qvtest::CapturedStream f(lines);
    for (int size : {0, 1, 2, 511, 512, 513, 600, 601, 602}) {
        GuardedBuf g(static_cast<std::size_t>(size));
        int r = sup::fgetline(f, g.data(), size);
        EXPECT_TRUE(g.guards_intact()) << size;
        EXPECT_EQ(r, size < 1 ? -1 : std::min(size - 1, 600));
    }
}

}  // namespace
