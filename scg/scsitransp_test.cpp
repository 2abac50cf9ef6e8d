// scg_cmd and its companions, run on the scripted fake transport.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "scg/scg.h"
#include "scg/testing/fake_transport.h"
#include "support/utils.h"
#include "testing/scsitest.h"
#include "testing/testsupport.h"

namespace {

using scg_fake::FakeClock;
using scg_fake::FakeTransport;
using scg_fake::Reply;
using scg_fake::UseAsStdTransport;

const std::vector<unsigned char> kNoMedium = qvtest::FixedSense(0x02, 0x3A);

class CmdTest : public qvtest::HandleTest {
protected:
    void SetUp() override {
        static char name[] = "qvupdate";
        static char* av[] = {name, nullptr};
        sup::save_args(1, av);
        HandleTest::SetUp();
    }

    // INQUIRY for `size` bytes, as the drive command layer fills it.
    void inquiry(int size = 36) {
        struct scg_cmd* scmd = scgp->cmdrec;
        std::memset(scmd, 0, sizeof *scmd);
        scmd->addr = data;
        scmd->size = size;
        scmd->flags = SCGF_RECV | SCGF_DISCONNECT;
        scmd->cdb_len = 6;
        scmd->sense_len = 18;
        scmd->cdb[0] = 0x12;
        scmd->cdb[4] = static_cast<unsigned char>(size);
        scgp->cmd_name = "inquiry";
    }

    FakeClock clock;
    unsigned char data[256] = {};
};

// --- accessors ---------------------------------------------------------------

TEST(Accessors, LibraryVersionWithoutHandle) {
    EXPECT_STREQ(scg_version(nullptr, SCGV_VERSION), "0.5");
    EXPECT_STREQ(scg_version(nullptr, SCGV_AUTHOR), "quisto");
    ASSERT_NE(scg_version(nullptr, SCGV_ID), nullptr);
    EXPECT_EQ(scg_version(nullptr, 3), nullptr);
}

TEST(Accessors, HandleAsksTheTransport) {
    FakeTransport fake;
    SCSI* scgp = fake.make_handle();
    EXPECT_STREQ(scg_version(scgp, SCGV_VERSION), "fake-1.0");
    EXPECT_EQ(scg_version(scgp, SCGV_AUTHOR), nullptr);
    fake.buses = {0, 2};
    EXPECT_EQ(scg_havebus(scgp, 2), 1);
    EXPECT_EQ(scg_havebus(scgp, 1), 0);
    EXPECT_EQ(scg_initiator_id(scgp), 7);
    EXPECT_EQ(scg_isatapi(scgp), 0);
    fake.reset_result = -1;
    EXPECT_EQ(scg_reset(scgp, 2), -1);
    EXPECT_EQ(fake.resets, std::vector<int>{2});
    const char* vec[] = {nullptr};
    scg_setnonstderrs(scgp, vec);
    EXPECT_EQ(scgp->nonstderrs, vec);
    scg_sfree(scgp);
}

TEST(Accessors, BufsizeAndGetbuf) {
    FakeTransport fake;
    fake.maxdma = 64512;
    SCSI* scgp = fake.make_handle();
    EXPECT_EQ(scg_bufsize(scgp, 0), 64512);
    EXPECT_EQ(scg_bufsize(scgp, -5), 64512);
    EXPECT_EQ(scg_bufsize(scgp, 40000), 40000);
    EXPECT_EQ(scgp->maxdma, 64512);
    EXPECT_EQ(scgp->max_buffer, 40000);

    scgp->max_buffer = 1;
    EXPECT_EQ(scg_getbuf(scgp, 0), nullptr);
    EXPECT_EQ(scgp->max_buffer, 1);  // 0 asks nothing of the transport
    EXPECT_EQ(scg_getbuf(scgp, 64513), nullptr);
    EXPECT_EQ(scgp->dma_buffer, nullptr);
    void* buf = scg_getbuf(scgp, 40000);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(scgp->dma_buffer, buf);
    EXPECT_EQ(scgp->dma_buffer_base, buf);
    scg_freebuf(scgp);
    EXPECT_EQ(scgp->dma_buffer, nullptr);
    EXPECT_EQ(fake.freebufs, 1);
    scg_sfree(scgp);  // frees through the slot once more, on nothing
}

TEST(Accessors, OpenInstallsTheStandardTableAndRefreshesFd) {
    FakeTransport fake;
    UseAsStdTransport use;
    SCSI* scgp = scg_smalloc();
    EXPECT_EQ(scgp->ops, &scg_dummy_ops);
    scgp->scsibus = 0, scgp->target = 3, scgp->lun = 0;
    EXPECT_EQ(scg__open(scgp, nullptr), 1);
    EXPECT_EQ(scgp->ops, &FakeTransport::ops);
    EXPECT_EQ(fake.opened, std::vector<std::string>{"(null)"});
    EXPECT_EQ(scgp->fd, 3 * 8);

    fake.open_result = 0;  // open failed: fd not refreshed... but 0 is "or more"
    scgp->target = 4;
    EXPECT_EQ(scg__open(scgp, "x"), 0);
    EXPECT_EQ(scgp->fd, 4 * 8);
    fake.open_result = -1;
    scgp->target = 5;
    EXPECT_EQ(scg__open(scgp, "x"), -1);
    EXPECT_EQ(scgp->fd, 4 * 8);

    EXPECT_EQ(scg__close(scgp), 0);
    EXPECT_EQ(fake.closes, 1);
    scg_sfree(scgp);
}

TEST(Accessors, RemotePrefixSelectsTheRemoteTable) {
    FakeTransport fake;
    UseAsStdTransport use;
    SCSI* scgp = scg_smalloc();
    qvtest::StderrCapture cap;
    EXPECT_EQ(scg__open(scgp, "REMOTEx"), -1);
    EXPECT_NE(cap.text().find(": No remote SCSI transport available.\n"), std::string::npos);
    // Six characters, compared case-sensitively.
    EXPECT_EQ(scg__open(scgp, "REMOT"), 1);
    EXPECT_EQ(scg__open(scgp, "remote:x"), 1);
    scg_sfree(scgp);
}

// --- scg_cmd -----------------------------------------------------------------

TEST_F(CmdTest, TimeoutFloor) {
    scg_settimeout(scgp, 300);
    for (int asked : {0, 10, 300, 600}) {
        inquiry();
        scgp->cmdrec->timeout = asked;
        scg_cmd(scgp);
    }
    ASSERT_EQ(fake.sent.size(), 4u);
    EXPECT_EQ(fake.sent[0].timeout, 300);
    EXPECT_EQ(fake.sent[1].timeout, 300);
    EXPECT_EQ(fake.sent[2].timeout, 300);
    EXPECT_EQ(fake.sent[3].timeout, 600);
}

TEST_F(CmdTest, SenseLengthIsClamped) {
    for (int asked : {18, 40, -1, 32}) {
        inquiry();
        scgp->cmdrec->sense_len = asked;
        scg_cmd(scgp);
    }
    ASSERT_EQ(fake.sent.size(), 4u);
    EXPECT_EQ(fake.sent[0].sense_len, 18);
    EXPECT_EQ(fake.sent[1].sense_len, 32);
    EXPECT_EQ(fake.sent[2].sense_len, 0);
    EXPECT_EQ(fake.sent[3].sense_len, 32);
}

TEST_F(CmdTest, HandleSettingsCompleteTheRecord) {
    inquiry();
    scgp->cmdrec->sense[0] = 0x70;  // left over: must not fail the command
    scgp->driver_debug = 3;
    EXPECT_EQ(scg_cmd(scgp), 0);
    EXPECT_EQ(fake.sent[0].flags, SCGF_RECV | SCGF_DISCONNECT);
    EXPECT_EQ(fake.sent[0].driver_debug, 3);
    EXPECT_EQ(fake.sent[0].cmd_name, "inquiry");
    EXPECT_EQ(fake.sent[0].cdb, (std::vector<unsigned char>{0x12, 0, 0, 0, 36, 0}));

    inquiry();
    scgp->no_disconnect = 1;
    scgp->no_parity = 1;
    scg_cmd(scgp);
    EXPECT_EQ(fake.sent[1].flags, SCGF_RECV | SCGF_NO_PARITY);
    EXPECT_EQ(scgp->running, 0);
    EXPECT_STREQ(scgp->running_cmd_name, "inquiry");
}

TEST_F(CmdTest, VerdictFollowsTheRecord) {
    struct Case {
        int error, ux_errno, status0, sense0, resid, verdict;
    } cases[] = {
        {0, 0, 0, 0, 0, 0},  {0, 0, 0, 0, 12, 0},    {0, 0, 0x02, 0, 0, -1}, {1, 0, 0, 0, 0, -1},
        {0, 5, 0, 0, 0, -1}, {0, 0, 0, 0x70, 0, -1}, {0, 0, 0x08, 0, 0, -1}, {3, 0, 0, 0, 0, -1},
    };
    scgp->silent = 1;
    for (const Case& c : cases) {
        inquiry();
        Reply r;
        r.error = c.error;
        r.ux_errno = c.ux_errno;
        r.status[0] = static_cast<unsigned char>(c.status0);
        if (c.sense0) r.sense = {static_cast<unsigned char>(c.sense0)};
        r.resid = c.resid;
        fake.push(r);
        EXPECT_EQ(scg_cmd(scgp), c.verdict) << c.error << " " << c.ux_errno << " " << c.status0;
        EXPECT_EQ(scg_cmd_err(scgp), c.verdict ? 1 : 0);
    }
    EXPECT_EQ(err(), "");
}

TEST_F(CmdTest, CompleteErrorReport) {
    clock.push(10, 900000);
    clock.push(12, 100000);
    inquiry();
    Reply r = qvtest::CheckCondition(0x02, 0x3A);
    r.resid = 36;
    fake.push(r);
    EXPECT_EQ(scg_cmd(scgp), -1);
    EXPECT_EQ(scgp->cmd_elapsed->tv_sec, 1);
    EXPECT_EQ(scgp->cmd_elapsed->tv_usec, 200000);
    EXPECT_EQ(err(),
              "qvupdate: inquiry: scsi sendcmd: no error\n"
              "CDB:  12 00 00 00 24 00\n"
              "status: 0x2 (CHECK CONDITION)\n"
              "Sense Bytes: 70 00 02 00 00 00 00 0A 00 00 00 00 3A 00 00 00 00 00\n"
              "Sense Key: 0x2 Not Ready, Segment 0\n"
              "Sense Code: 0x3A Qual 0x00 (medium not present) Fru 0x0\n"
              "Sense flags: Blk 0 (not valid) \n"
              "resid: 36\n"
              "cmd finished after 1.200s timeout 20s\n");
    // The same report again, on demand, into the caller's buffer.
    char buf[1024];
    const int n = scg_sprinterr(scgp, buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n), err());
}

TEST_F(CmdTest, FatalAndTimeoutReportsHaveNoStatusLine) {
    clock.push(0, 0);
    clock.push(300, 2500);
    inquiry();
    Reply r;
    r.error = SCGE_TIMEOUT;  // and no error number, as ASPI leaves a time-out
    fake.push(r);
    scgp->cmd_name = "";
    EXPECT_EQ(scg_cmd(scgp), -1);
    EXPECT_EQ(err(),
              "qvupdate: SCSI command name not set by caller: scsi sendcmd: "
              "cmd timeout after 300.002 (20) s\n"
              "CDB:  12 00 00 00 24 00\n"
              "cmd finished after 300.002s timeout 20s\n");
}

TEST_F(CmdTest, UnknownErrorClassAndNegativeUxErrno) {
    inquiry();
    Reply r;
    r.error = 9;
    r.ux_errno = -1;
    fake.push(r);
    scgp->cmd_name = nullptr;
    scg_cmd(scgp);
    EXPECT_EQ(err().substr(0, 70), "qvupdate: SCSI command name not set by caller: scsi sendcmd: error: 9\n");
}

TEST_F(CmdTest, SilentFailurePrintsNothingAndKeepsTheSense) {
    inquiry();
    Reply r = qvtest::CheckCondition(0x02, 0x3A);
    r.resid = 4;
    fake.push(r);
    scgp->silent = 1;
    EXPECT_EQ(scg_cmd(scgp), -1);
    EXPECT_EQ(err(), "");
    EXPECT_EQ(scgp->cmdrec->sense[12], 0x3A);
    EXPECT_EQ(scgp->cmdrec->sense_received, 18);
    EXPECT_EQ(scg_sense_key(scgp), 2);
    EXPECT_EQ(scg_sense_code(scgp), 0x3A);
    EXPECT_EQ(scg_sense_qual(scgp), 0);
    EXPECT_EQ(scgp->errbuf_end, scgp->errbuf);
}

TEST_F(CmdTest, ResidualLines) {
    inquiry();
    Reply r;
    r.resid = -4;
    fake.push(r);
    EXPECT_EQ(scg_cmd(scgp), 0);
    EXPECT_EQ(err(), "DMA overrun, resid: -4\n");
    EXPECT_EQ(scg_getdmacnt(scgp), 36);

    r.resid = 4;
    fake.push(r);
    inquiry();
    EXPECT_EQ(scg_cmd(scgp), 0);
    EXPECT_EQ(err(), "DMA overrun, resid: -4\nresid: 4\n");
    EXPECT_EQ(scg_getresid(scgp), 4);
    EXPECT_EQ(scg_getdmacnt(scgp), 32);
}

TEST_F(CmdTest, VerboseTraceAroundTheCommand) {
    clock.push(5, 0);
    clock.push(5, 1999);
    scgp->verbose = 2;
    inquiry();
    Reply r;
    r.data.assign(36, 0xAB);
    r.resid = 4;
    fake.push(r);
    EXPECT_EQ(scg_cmd(scgp), 0);
    std::string dump = "Received Data: ";
    for (int i = 0; i < 32; i++) dump += " AB";
    EXPECT_EQ(err(),
              "\nExecuting 'inquiry' command on Bus 0 Target 1, Lun 0 timeout 20s\n"
              "CDB:  12 00 00 00 24 00\n"
              "resid: 4\n"
              "cmd finished after 0.001s timeout 20s\n"
              "Got 32 (0x20), expecting 36 (0x24) bytes of data.\n" +
                  dump + "\n");
}

TEST_F(CmdTest, VerboseWriteShowsAtMost100Bytes) {
    scgp->verbose = 2;
    unsigned char block[4096];
    for (int i = 0; i < 4096; i++) block[i] = static_cast<unsigned char>(i);
    struct scg_cmd* scmd = scgp->cmdrec;
    std::memset(scmd, 0, sizeof *scmd);
    scmd->addr = block;
    scmd->size = 4096;
    scmd->flags = SCGF_DISCONNECT | SCGF_BIT3;
    scmd->cdb_len = 10;
    scmd->cdb[0] = 0x3B;
    scgp->cmd_name = "write buffer";
    scg_cmd(scgp);
    const std::string text = err();
    const std::string head = "Sending 4096 (0x1000) bytes of data.\nWrite Data:  00 01 02";
    ASSERT_NE(text.find(head), std::string::npos) << text;
    const std::size_t line = text.find("Write Data:");
    EXPECT_EQ(text.find('\n', line) - line, std::strlen("Write Data: ") + 100 * 3);
    EXPECT_EQ(fake.sent[0].data.size(), 4096u);
}

TEST_F(CmdTest, SendFailureOnHighTargetWithEinvalIsNotFatal) {
    scg_settarget(scgp, 0, 8, 0);
    scgp->debug_level = 1;
    inquiry();
    Reply r;
    r.send_ret = -1;
    r.send_errno = EINVAL;
    fake.push(r);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(scg_cmd(scgp), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "qvupdate: Invalid argument. ret < 0 errno: 22 ux_errno: 22 error: 2\n");
    EXPECT_EQ(scgp->cmdrec->ux_errno, EINVAL);
    EXPECT_EQ(scgp->cmdrec->error, SCGE_FATAL);
    EXPECT_EQ(err().substr(0, 62), "qvupdate: Invalid argument. inquiry: scsi sendcmd: fatal error");

    // What the transport already said stays.
    inquiry();
    r.ux_errno = EIO;
    r.error = SCGE_RETRYABLE;
    fake.push(r);
    scgp->debug_level = 0;
    EXPECT_EQ(scg_cmd(scgp), -1);
    EXPECT_EQ(scgp->cmdrec->ux_errno, EIO);
    EXPECT_EQ(scgp->cmdrec->error, SCGE_RETRYABLE);
}

TEST_F(CmdTest, SendFailureIsSaidAndFails) {
    scg_settarget(scgp, 0, 8, 0);  // only EINVAL goes unsaid there
    inquiry();
    Reply r;
    r.send_ret = -1;
    r.send_errno = EIO;
    fake.push(r);
    qvtest::StderrCapture cap;
    EXPECT_EQ(scg_cmd(scgp), -1);
    EXPECT_EQ(cap.text(), "qvupdate: Input/output error. Cannot send SCSI cmd via ioctl\n");
    EXPECT_EQ(scgp->cmdrec->ux_errno, EIO);
    EXPECT_EQ(scgp->cmdrec->error, SCGE_FATAL);
    EXPECT_EQ(err().substr(0, 64), "qvupdate: Input/output error. inquiry: scsi sendcmd: fatal error");
    inquiry();
    EXPECT_EQ(scg_cmd(scgp), 0) << "the handle is free again";
}

TEST_F(CmdTest, ReentryIsSaidAndFailsWithoutBeingSent) {
    for (bool named : {true, false}) {
        inquiry();
        Reply r;
        r.during = [named](SCSI* h) {
            if (!named) h->running_cmd_name = nullptr;
            EXPECT_EQ(scg_cmd(h), -1);
            EXPECT_EQ(h->cmdrec->ux_errno, EALREADY);
            EXPECT_EQ(h->cmdrec->error, SCGE_FATAL);
            EXPECT_EQ(h->running, 1) << "the running command's flag stays";
        };
        fake.push(r);
        qvtest::StderrCapture cap;
        scg_cmd(scgp);
        EXPECT_EQ(cap.text(),
                  std::string(named ? "Currently running 'inquiry' command.\n" : "") +
                      "Condition not caught: SCSI ALREADY RUNNING !!.\nRaisecond: not implemented.\n");
    }
    EXPECT_EQ(fake.sent.size(), 2u);
}

TEST_F(CmdTest, UnopenedHandleCannotSend) {
    SCSI* h = scg_smalloc();
    h->cmd_name = "test unit ready";
    qvtest::StderrCapture cap;
    EXPECT_EQ(scg_cmd(h), -1);
    EXPECT_EQ(cap.text().substr(0, 58), "qvupdate: Invalid argument. Cannot send SCSI cmd via ioctl");
    scg_sfree(h);
}

TEST(Times, ElapsedTimeBorrowsWholeSeconds) {
    FakeTransport fake;
    SCSI* scgp = fake.make_handle();
    FakeClock clock;
    struct {
        long s0, u0, s1, u1, s, u;
    } cases[] = {
        {10, 900000, 12, 100000, 1, 200000},
        {10, 0, 10, 0, 0, 0},
        {0, 999999, 1, 0, 0, 1},
        {7, 250000, 7, 750000, 0, 500000},
    };
    for (const auto& c : cases) {
        scgp->cmd_start->tv_sec = c.s0;
        scgp->cmd_start->tv_usec = c.u0;
        clock.push(c.s1, c.u1);
        __scg_times(scgp);
        EXPECT_EQ(scgp->cmd_elapsed->tv_sec, c.s);
        EXPECT_EQ(scgp->cmd_elapsed->tv_usec, c.u);
    }
    scg_sfree(scgp);
}

// --- the error text stays inside its 4096 bytes -------------------------------

TEST_F(CmdTest, ErrorTextNeverGrowsBeyondItsBuffer) {
    const std::string big(3000, 'x');
    EXPECT_EQ(scg_printf(scgp, "%s", big.c_str()), 3000);
    EXPECT_EQ(scg_printf(scgp, "%s", big.c_str()), 3000);
    EXPECT_EQ(scgp->errbuf_end - scgp->errbuf, SCSI_ERRBUF_SIZE - 1);
    EXPECT_EQ(scgp->errbuf[SCSI_ERRBUF_SIZE - 1], '\0');
    EXPECT_EQ(scg_printf(scgp, "more"), 4);
    EXPECT_EQ(scgp->errbuf_end - scgp->errbuf, SCSI_ERRBUF_SIZE - 1);

    // A report composed behind nearly full text is cut at the end.
    scgp->errbuf_end = scgp->errbuf + SCSI_ERRBUF_SIZE - 20;
    inquiry();
    scgp->cmdrec->status[0] = 0x02;
    std::memcpy(scgp->cmdrec->sense, kNoMedium.data(), kNoMedium.size());
    scgp->cmdrec->sense_received = 18;
    EXPECT_EQ(scg_vtail(scgp), -1);
    EXPECT_EQ(scgp->errbuf_end - scgp->errbuf, SCSI_ERRBUF_SIZE - 1);
    EXPECT_STREQ(scgp->errbuf + SCSI_ERRBUF_SIZE - 20, "qvupdate: inquiry: ");
    EXPECT_EQ(scg_errflush(scgp), SCSI_ERRBUF_SIZE - 1);
}

TEST_F(CmdTest, TailIntoShortBuffersStaysInside) {
    inquiry();
    scgp->cmdrec->status[0] = 0x02;
    std::memcpy(scgp->cmdrec->sense, kNoMedium.data(), kNoMedium.size());
    scgp->cmdrec->sense_received = 99;  // a transport claiming more than the record holds
    scgp->cmdrec->resid = -3;
    char full[2048];
    const int total = scg_svtail(scgp, nullptr, full, sizeof full);
    ASSERT_GT(total, 0);
    EXPECT_NE(std::string(full).find("Sense Bytes: 70 00 02"), std::string::npos);
    for (int size = 1; size < total + 3; size += 7) {
        std::string buf(size + 4, '#');
        int verdict = 0;
        const int n = scg_svtail(scgp, &verdict, buf.data(), size);
        EXPECT_EQ(verdict, -1);
        ASSERT_GE(n, 0);
        EXPECT_LT(n, size);
        EXPECT_EQ(buf.substr(size), "####") << size;
        EXPECT_EQ(std::string(buf.data(), n), std::string(full, n));
    }
    EXPECT_LT(scg_svtail(scgp, nullptr, full, 0), 0);
}

// --- scg_yes -----------------------------------------------------------------

// Answers the question from a file holding `input` on standard input; the
// child exits with 10 + the answers given, as bits. Its
// standard output goes to standard error, where the death test sees it.
void ask(const char* input, int questions) {
    qvtest::CapturedStream f(input);
    std::fflush(stdout);
    if (dup2(fileno(f), 0) < 0 || dup2(2, 1) < 0) std::_Exit(99);
    std::clearerr(stdin);
    std::fseek(stdin, 0, SEEK_SET);
    int code = 0;
    for (int i = 0; i < questions; i++) code = code * 2 + scg_yes("Sure? ");
    std::exit(10 + code);
}

TEST(YesDeathTest, Answers) {
    using ::testing::ExitedWithCode;
    EXPECT_EXIT(ask("y\n", 1), ExitedWithCode(11), "^Sure\\? $");
    EXPECT_EXIT(ask("YES\n", 1), ExitedWithCode(11), "");
    EXPECT_EXIT(ask("Y\n", 1), ExitedWithCode(11), "");
    EXPECT_EXIT(ask("yes\n", 1), ExitedWithCode(11), "");
    EXPECT_EXIT(ask("Yes\n", 1), ExitedWithCode(10), "");
    EXPECT_EXIT(ask("yes \n", 1), ExitedWithCode(10), "");
    EXPECT_EXIT(ask(" y\n", 1), ExitedWithCode(10), "");
    EXPECT_EXIT(ask("no\n", 1), ExitedWithCode(10), "");
    EXPECT_EXIT(ask("\n", 1), ExitedWithCode(10), "");
    // A long line is cut, and the rest of it is not the next answer.
    EXPECT_EXIT(ask("yyyyyyyyyyyyyyyyyyyy\ny\n", 2), ExitedWithCode(11), "");
    EXPECT_EXIT(ask("y", 1), ExitedWithCode(11), "");
}

TEST(YesDeathTest, EndOfInputAnswersNo) {
    EXPECT_EXIT(ask("", 1), ::testing::ExitedWithCode(10), "");
    EXPECT_EXIT(ask("y\n", 2), ::testing::ExitedWithCode(12), "");
}

}  // namespace
