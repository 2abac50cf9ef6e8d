#include "support/printf.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// A stream whose every write is recorded as one block, so the blocks that
// filewrite hands down are visible one by one.
struct Recorder {
    std::vector<std::string> blocks;
    bool fail = false;
    FILE* f = nullptr;

    Recorder() {
        cookie_io_functions_t io{};
        io.write = [](void* c, const char* buf, size_t n) -> ssize_t {
            auto* r = static_cast<Recorder*>(c);
            if (r->fail) return -1;
            r->blocks.emplace_back(buf, n);
            return static_cast<ssize_t>(n);
        };
        f = fopencookie(this, "w", io);
        setvbuf(f, nullptr, _IONBF, 0);
    }
    ~Recorder() {
        fail = false;
        std::fclose(f);
    }
    std::vector<std::size_t> sizes() const {
        std::vector<std::size_t> s;
        for (auto& b : blocks) s.push_back(b.size());
        return s;
    }
    std::string all() const {
        std::string s;
        for (auto& b : blocks) s += b;
        return s;
    }
};

TEST(BufferedOutput, WritesWholeBlocksOf256) {
    Recorder r;
    const std::string text(600, 'x');
    EXPECT_EQ(sup::fprintf(r.f, "%s", text.c_str()), 600);
    EXPECT_EQ(r.sizes(), (std::vector<std::size_t>{256, 256, 88}));
    EXPECT_EQ(r.all(), text);

    r.blocks.clear();
    EXPECT_EQ(sup::zt_fprintf(r.f, "%256s", ""), 256);
    EXPECT_EQ(r.sizes(), (std::vector<std::size_t>{256})) << "no empty block after a full one";

    r.blocks.clear();
    EXPECT_EQ(sup::fprintf(r.f, ""), 0);
    EXPECT_TRUE(r.blocks.empty());

    r.blocks.clear();
    EXPECT_EQ(sup::zt_fprintf(r.f, "%s: %d\n", "qvupdate", 42), 13);
    EXPECT_EQ(r.blocks, (std::vector<std::string>{"qvupdate: 42\n"}));
}

TEST(BufferedOutput, FailedWriteIsMinusOneWithoutTheNoRaiseFlagToo) {
    // A closed terminal must not end a run that is flashing a drive.
    Recorder r;
    r.fail = true;
    EXPECT_EQ(sup::fprintf(r.f, "hello\n"), -1);
    EXPECT_EQ(sup::filewrite(r.f, "ab", 2), -1);
}

TEST(BufferedOutput, NoRaiseFlagTurnsAFailureIntoMinusOne) {
    Recorder r;
    sup::_io_add_my_flag(r.f, sup::_IO_NORAISE);
    r.fail = true;
    EXPECT_EQ(sup::fprintf(r.f, "%s", std::string(300, 'y').c_str()), -1);
    EXPECT_EQ(sup::filewrite(r.f, "ab", 2), -1);
    sup::_io_set_my_flag(r.f, 0);
}

TEST(BufferedOutput, UnbufferedFlagWritesStraightToTheDescriptor) {
    // Message boundaries of a packet socket show every write on its own.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    FILE* f = fdopen(sv[0], "w");
    ASSERT_NE(f, nullptr);
    sup::_io_set_my_flag(f, sup::_IO_UNBUFFERED);
    EXPECT_EQ(sup::_io_get_my_flag(f), sup::_IO_UNBUFFERED);
    EXPECT_EQ(sup::fprintf(f, "%600s", "z"), 600);
    std::vector<ssize_t> got;
    char buf[1024];
    for (int i = 0; i < 3; i++) got.push_back(recv(sv[1], buf, sizeof buf, MSG_DONTWAIT));
    EXPECT_EQ(got, (std::vector<ssize_t>{256, 256, 88}));
    EXPECT_EQ(recv(sv[1], buf, sizeof buf, MSG_DONTWAIT), -1);
    sup::_io_set_my_flag(f, 0);
    std::fclose(f);
    close(sv[1]);

    // A failing descriptor gives -1 and no condition.
    FILE* ro = fdopen(open("/dev/null", O_RDONLY), "r");
    ASSERT_NE(ro, nullptr);
    sup::_io_set_my_flag(ro, sup::_IO_UNBUFFERED);
    EXPECT_EQ(sup::fprintf(ro, "abc"), -1);
    EXPECT_EQ(sup::filewrite(ro, "abc", 3), -1);
    sup::_io_set_my_flag(ro, 0);
    std::fclose(ro);
}

TEST(FlagTable, GrowsByTenToReachADescriptor) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            FILE* low = fdopen(dup(1), "w");
            int fail = 0;
            if (fileno(low) >= 10) std::_Exit(90);
            sup::_io_set_my_flag(low, 3);
            if (sup::_fl_max != 10 || sup::_fl_inc != 10) fail |= 1;
            dup2(1, 25);
            FILE* f = fdopen(25, "w");
            if (sup::_io_get_my_flag(f) != 0) fail |= 2;
            if (sup::_fl_max != 30) fail |= 4;
            if (sup::_io_get_my_flag(low) != 3) fail |= 8;  // the static entries came along
            sup::_io_add_my_flag(f, 1);
            sup::_io_add_my_flag(f, 2);
            if (sup::_io_get_my_flag(f) != 3) fail |= 16;
            dup2(1, 45);
            FILE* g = fdopen(45, "w");
            sup::_io_set_my_flag(g, 2);
            if (sup::_fl_max != 50 || sup::_io_get_my_flag(g) != 2 || sup::_io_get_my_flag(f) != 3)
                fail |= 32;
            std::_Exit(fail);
        },
        testing::ExitedWithCode(0), "");
}

TEST(FlagTable, StreamsSharingADescriptorKeepTheirOwnFlags) {
    int fd = dup(1);
    FILE* a = fdopen(fd, "w");
    FILE* b = fdopen(fd, "w");
    FILE* c = fdopen(fd, "w");
    sup::_io_set_my_flag(a, 1);
    EXPECT_EQ(sup::_io_get_my_flag(b), 0);
    sup::_io_set_my_flag(b, 2);
    sup::_io_set_my_flag(c, 3);
    EXPECT_EQ(sup::_io_get_my_flag(a), 1);
    EXPECT_EQ(sup::_io_get_my_flag(b), 2);
    EXPECT_EQ(sup::_io_get_my_flag(c), 3);
    sup::_io_set_my_flag(b, 0);
    EXPECT_EQ(sup::_io_get_my_flag(b), 0);
    EXPECT_EQ(sup::_io_get_my_flag(c), 3);
    for (FILE* f : {a, b, c}) sup::_io_set_my_flag(f, 0);
    // Closing the others finds the shared descriptor closed already.
    for (FILE* f : {a, b, c}) std::fclose(f);
}

TEST(FlagTable, StreamsWithoutDescriptorHaveFlagsToo) {
    char mem[16];
    FILE* m1 = fmemopen(mem, sizeof mem, "w");
    FILE* m2 = fmemopen(mem, sizeof mem, "w");
    ASSERT_EQ(fileno(m1), -1);
    EXPECT_EQ(sup::_io_get_my_flag(m1), 0);
    sup::_io_set_my_flag(m1, 2);
    EXPECT_EQ(sup::_io_get_my_flag(m1), 2);
    EXPECT_EQ(sup::_io_get_my_flag(m2), 0);
    sup::_io_set_my_flag(m1, 0);
    std::fclose(m1);
    std::fclose(m2);
}

TEST(Sprintf, TerminatesAndCounts) {
    char buf[32];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(sup::sprintf(buf, "%s-%d", "ab", 12), 5);
    EXPECT_STREQ(buf, "ab-12");
    EXPECT_EQ(buf[6], 'Z');
    EXPECT_EQ(sup::sprintf(buf, ""), 0);
    EXPECT_STREQ(buf, "");
}

TEST(ZtSnprintf, CutsAtTheSizeAndReturnsTheFullLength) {
    char buf[16];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(sup::zt_snprintf(buf, 8, "%s", "hello, world"), 12);
    EXPECT_STREQ(buf, "hello, ");
    EXPECT_EQ(buf[8], 'Z');

    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(sup::zt_snprintf(buf, 1, "%s", "hello, world"), 12);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], 'Z');

    std::memset(buf, 'Z', sizeof buf);
    int n = -1;
    EXPECT_EQ(sup::zt_snprintf(buf, 0, "abc%n", &n), -1);
    EXPECT_EQ(n, 3) << "the text is still formatted";
    EXPECT_EQ(buf[0], 'Z');
    EXPECT_EQ(sup::zt_snprintf(buf, -5, "abc"), -1);
    EXPECT_EQ(buf[0], 'Z');
    EXPECT_EQ(sup::zt_snprintf(nullptr, 10, "abc"), -1);

    EXPECT_EQ(sup::zt_snprintf(buf, 13, "%s", "hello, world"), 12);
    EXPECT_STREQ(buf, "hello, world");
    EXPECT_EQ(sup::zt_snprintf(buf, 12, "%s", "hello, world"), 12);
    EXPECT_STREQ(buf, "hello, worl");
}

}  // namespace
