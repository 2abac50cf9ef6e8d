#include "support/comerr.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/utils.h"
#include "testing/testsupport.h"

namespace {

using qvtest::StderrCapture;

class ErrorReports : public testing::Test {
protected:
    void SetUp() override {
        static char name[] = "qvupdate";
        static char* av[] = {name, nullptr};
        sup::save_args(1, av);
    }
};

TEST_F(ErrorReports, ErrmsgnoWithoutSystemError) {
    StderrCapture cap;
    EXPECT_EQ(sup::errmsgno(-1, "error in scgo_send: ASPI driver not loaded.\n"), -1);
    EXPECT_EQ(cap.text(), "qvupdate: error in scgo_send: ASPI driver not loaded.\n");
}

TEST_F(ErrorReports, ErrmsgTakesErrnoAndItsText) {
    StderrCapture cap;
    errno = ENOENT;
    EXPECT_EQ(sup::errmsg("Cannot open '%s'.\n", "g253k106.bin"), ENOENT);
    EXPECT_EQ(cap.text(),
              std::string("qvupdate: ") + std::strerror(ENOENT) + ". Cannot open 'g253k106.bin'.\n");
}

TEST_F(ErrorReports, ZeroIsASystemErrorNumberAndUnknownNumbersFallBack) {
    StderrCapture cap;
    EXPECT_EQ(sup::errmsgno(0, "a\n"), 0);
    EXPECT_EQ(sup::errmsgno(1234, "b %d\n", 5), 1234);
    EXPECT_EQ(sup::errmsgno(-2147483647 - 1, "c\n"), -2147483647 - 1);
    EXPECT_EQ(cap.text(), std::string("qvupdate: ") + std::strerror(0) + ". a\n" +
                              "qvupdate: Error 1234. b 5\n" + "qvupdate: c\n");
    EXPECT_EQ(sup::errmsgstr(1234), nullptr);
    EXPECT_STREQ(sup::errmsgstr(EINVAL), std::strerror(EINVAL));
}

TEST_F(ErrorReports, LongReportLeavesInBlocksAndArrivesWhole) {
    StderrCapture cap;
    const std::string msg(700, 'm');
    EXPECT_EQ(sup::error("%s|\n", msg.c_str()), 702);
    EXPECT_EQ(cap.text(), msg + "|\n");
}

TEST_F(ErrorReports, SerrmsgnoIntoASmallBuffer) {
    char buf[16];
    std::memset(buf, 'Z', sizeof buf);
    const std::string full = "qvupdate: bad address 'x'\n";
    EXPECT_EQ(sup::serrmsgno(-1, buf, 10, "bad address '%s'\n", "x"), static_cast<int>(full.size()));
    EXPECT_STREQ(buf, full.substr(0, 9).c_str());
    EXPECT_EQ(buf[10], 'Z');

    char big[128];
    errno = EINVAL;
    const int n = sup::serrmsg(big, sizeof big, "m");
    EXPECT_EQ(n, static_cast<int>(std::strlen(big)));
    EXPECT_EQ(std::string(big), std::string("qvupdate: ") + std::strerror(EINVAL) + ". m");
    EXPECT_EQ(sup::serrmsgno(99999, big, sizeof big, "n"), 24);
    EXPECT_STREQ(big, "qvupdate: Error 99999. n");
    EXPECT_EQ(sup::serrmsgno(-1, big, 0, "n"), -1);
}

TEST(ErrorReportsUnnamed, PrefixIsQuestionMarkBeforeAnyName) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            sup::errmsgno(-1, "x\n");
            std::exit(0);
        },
        testing::ExitedWithCode(0), "^\\?: x\n$");
}

void first(int code, void*) { std::fprintf(stderr, "first(%d)\n", code); }
void second(int code, void* arg) {
    std::fprintf(stderr, "second(%d,%s)\n", code, static_cast<const char*>(arg));
}

TEST_F(ErrorReports, ComerrnoRunsExitFunctionsNewestFirstAndExits) {
    EXPECT_EXIT(
        {
            sup::on_comerr(first, nullptr);
            sup::on_comerr(second, const_cast<char*>("arg"));
            sup::comerrno(-1, "fatal %s\n", "thing");
        },
        testing::ExitedWithCode(255), "^qvupdate: fatal thing\nsecond\\(-1,arg\\)\nfirst\\(-1\\)\n$");
    EXPECT_EXIT(
        {
            errno = EACCES;
            sup::comerr("no\n");
        },
        testing::ExitedWithCode(EACCES), "^qvupdate: .+\\. no\n$");
    // A number that leaves 0 in the status would read as success.
    for (int err : {0, 256}) {
        EXPECT_EXIT(
            {
                errno = err;
                sup::comerr("no\n");
            },
            testing::ExitedWithCode(255), "no\n$")
            << err;
    }
    EXPECT_EXIT(sup::comexit(3), testing::ExitedWithCode(3), "^$");
}

TEST(Conditions, RaisecondAbortsWithoutExitFunctionsReportcondWritesAlike) {
    EXPECT_EXIT(
        {
            sup::on_comerr([](int, void*) { std::_Exit(7); }, nullptr);
            sup::raisecond("file_write_err", 0L);
        },
        testing::KilledBySignal(SIGABRT),
        "^Condition not caught: file_write_err\\.\nRaisecond: not implemented\\.\n$");
    StderrCapture cap;
    sup::reportcond("SCSI ALREADY RUNNING !!");
    EXPECT_EQ(cap.text(), "Condition not caught: SCSI ALREADY RUNNING !!.\nRaisecond: not implemented.\n");
}

TEST(Geterrno, IsErrno) {
    errno = EIO;
    EXPECT_EQ(sup::geterrno(), EIO);
}

}  // namespace
