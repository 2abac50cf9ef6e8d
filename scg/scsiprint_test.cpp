// Diagnostic printing: status, CDB and data lines, byte dumps, device line,
// sense accessors and the error text buffer.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "scg/scg.h"
#include "scg/testing/fake_transport.h"
#include "testing/scsitest.h"
#include "testing/testsupport.h"

namespace {

using scg_fake::FakeTransport;

// Runs an s-form into a roomy buffer and checks its count against the text.
template <class F>
std::string sform(F f) {
    char buf[4096];
    std::memset(buf, '#', sizeof buf);
    const int n = f(buf, static_cast<int>(sizeof buf));
    EXPECT_GE(n, 0);
    EXPECT_EQ(static_cast<std::size_t>(n), std::strlen(buf));
    return std::string(buf, n);
}

class PrintTest : public qvtest::HandleTest {
protected:
    void SetUp() override {
        HandleTest::SetUp();
        std::memset(scgp->cmdrec, 0, sizeof *scgp->cmdrec);
    }
    std::string status(unsigned char s0, unsigned char s1 = 0, unsigned char s2 = 0) {
        scgp->cmdrec->status[0] = s0;
        scgp->cmdrec->status[1] = s1;
        scgp->cmdrec->status[2] = s2;
        return sform([&](char* b, int n) { return scg_sprintstatus(scgp, b, n); });
    }
};

TEST_F(PrintTest, StatusLines) {
    EXPECT_EQ(status(0x00), "status: 0x0 (GOOD STATUS)\n");
    EXPECT_EQ(status(0x02), "status: 0x2 (CHECK CONDITION)\n");
    EXPECT_EQ(status(0x82, 0x01), "status: 0x82 0x1 (CHECK CONDITION host adapter detected error)\n");
    EXPECT_EQ(status(0x82, 0x00), "status: 0x82 0x0 (CHECK CONDITION)\n");
    EXPECT_EQ(status(0x02, 0x81, 0x07), "status: 0x2 0x7 (CHECK CONDITION)\n");
    EXPECT_EQ(status(0x80, 0x81, 0x07), "status: 0x80 0x81 0x7 (GOOD STATUS host adapter detected error)\n");
    EXPECT_EQ(status(0x04), "status: 0x4 (CONDITION MET/GOOD)\n");
    EXPECT_EQ(status(0x06), "status: 0x6 (Reserved)\n");
    EXPECT_EQ(status(0x08), "status: 0x8 (BUSY)\n");
    EXPECT_EQ(status(0x10), "status: 0x10 (INTERMEDIATE GOOD STATUS)\n");
    EXPECT_EQ(status(0x14), "status: 0x14 (INTERMEDIATE CONDITION MET/GOOD)\n");
    EXPECT_EQ(status(0x18), "status: 0x18 (RESERVATION CONFLICT)\n");
    EXPECT_EQ(status(0x1E), "status: 0x1e (Reserved)\n");
    EXPECT_EQ(status(0x61), "status: 0x61 (GOOD STATUS)\n");  // bits outside 0x1e ignored
    EXPECT_EQ(scg_cmd_status(scgp), 0x61);
    scgp->cmdrec->status[0] = 0xFF;
    EXPECT_EQ(scg_cmd_status(scgp), 255);

    status(0x08);
    scg_printstatus(scgp);
    EXPECT_EQ(out.text(), "status: 0x8 (BUSY)\n");
}

TEST_F(PrintTest, CdbLine) {
    struct scg_cmd* scmd = scgp->cmdrec;
    scmd->cdb_len = 6;
    scmd->cdb[1] = 0x20;
    EXPECT_EQ(sform([&](char* b, int n) { return scg_sprintcdb(scgp, b, n); }), "CDB:  00 20 00 00 00 00\n");
    // A length beyond the record shows the record's 24 bytes only.
    scmd->cdb_len = 1000;
    const std::string all = sform([&](char* b, int n) { return scg_sprintcdb(scgp, b, n); });
    EXPECT_EQ(all.size(), std::strlen("CDB: ") + 24 * 3 + 1);
    // No room at all: the CDB line counts as empty.
    char b[4];
    EXPECT_EQ(scg_sprintcdb(scgp, b, 0), 0);
}

TEST_F(PrintTest, DataDumpsAreLimitedTo100Bytes) {
    unsigned char data[4096];
    std::memset(data, 0x5A, sizeof data);
    struct scg_cmd* scmd = scgp->cmdrec;
    scmd->addr = data;
    scmd->size = 4096;
    scmd->flags = SCGF_RECV;
    const std::string r = sform([&](char* b, int n) { return scg_sprintrdata(scgp, b, n); });
    std::string hundred;
    for (int i = 0; i < 100; i++) hundred += " 5A";
    EXPECT_EQ(r,
              "Got 4096 (0x1000), expecting 4096 (0x1000) bytes of data.\n"
              "Received Data: " +
                  hundred + "\n");
    EXPECT_EQ(sform([&](char* b, int n) { return scg_sprintwdata(scgp, b, n); }), "");

    scmd->flags = 0;
    scmd->size = 3;
    EXPECT_EQ(sform([&](char* b, int n) { return scg_sprintwdata(scgp, b, n); }),
              "Sending 3 (0x3) bytes of data.\nWrite Data:  5A 5A 5A\n");
    EXPECT_EQ(sform([&](char* b, int n) { return scg_sprintrdata(scgp, b, n); }), "");
    scmd->size = 0;
    EXPECT_EQ(sform([&](char* b, int n) { return scg_sprintwdata(scgp, b, n); }), "");

    // A residual larger than the transfer dumps nothing.
    scmd->flags = SCGF_RECV;
    scmd->size = 8;
    scmd->resid = 12;
    EXPECT_EQ(sform([&](char* b, int n) { return scg_sprintrdata(scgp, b, n); }),
              "Got -4 (0xFFFFFFFC), expecting 8 (0x8) bytes of data.\nReceived Data: \n");
}

TEST_F(PrintTest, ResultLine) {
    scgp->cmd_elapsed->tv_sec = 2;
    scgp->cmd_elapsed->tv_usec = 45999;
    scgp->cmdrec->timeout = 300;
    EXPECT_EQ(sform([&](char* b, int n) { return scg_sprintresult(scgp, b, n); }),
              "cmd finished after 2.045s timeout 300s\n");
    ::testing::internal::CaptureStderr();
    scg_printresult(scgp);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "cmd finished after 2.045s timeout 300s\n");
}

TEST_F(PrintTest, ByteDumps) {
    const unsigned char b[] = {0x00, 0x0A, 0xFF};
    EXPECT_EQ(sform([&](char* p, int n) { return scg_sprbytes(p, n, "Data:", b, 3); }), "Data: 00 0A FF\n");
    EXPECT_EQ(sform([&](char* p, int n) { return scg_sprbytes(p, n, "Data:", b, 0); }), "Data:\n");
    EXPECT_EQ(sform([&](char* p, int n) { return scg_sprbytes(p, n, "Data:", b, -3); }), "Data:\n");
    EXPECT_EQ(sform([&](char* p, int n) { return scg_sprsense(p, n, b, 2); }), "Sense Bytes: 00 0A\n");
    char small[8];
    EXPECT_EQ(scg_sprbytes(small, 0, "x", b, 3), -1);

    // The stream form takes any count.
    unsigned char big[1000];
    for (int i = 0; i < 1000; i++) big[i] = static_cast<unsigned char>(i);
    scg_fprbytes(out, "Big:", big, 1000);
    const std::string text = out.text();
    ASSERT_EQ(text.size(), 4 + 1000 * 3 + 1);
    EXPECT_EQ(text.substr(0, 16), "Big: 00 01 02 03");
    EXPECT_EQ(text.substr(text.size() - 13), " E4 E5 E6 E7\n");

    ::testing::internal::CaptureStderr();
    scg_prsense(b, 3);
    scg_prbytes("L:", b, 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Sense Bytes: 00 0A FF\nL:\n");
}

TEST_F(PrintTest, SenseAccessors) {
    struct scg_cmd* scmd = scgp->cmdrec;
    EXPECT_EQ(scg_sense_key(scgp), 0);
    EXPECT_EQ(scg_sense_code(scgp), 0);
    EXPECT_EQ(scg_sense_qual(scgp), 0);

    scmd->status[0] = 0x02;
    scmd->sense[0] = 0x70;
    scmd->sense[2] = 0xE6;
    scmd->sense[12] = 0x29;
    scmd->sense[13] = 0x01;
    EXPECT_EQ(scg_sense_key(scgp), 6);
    EXPECT_EQ(scg_sense_code(scgp), 0x29);
    EXPECT_EQ(scg_sense_qual(scgp), 1);

    scmd->sense[0] = 0x84;  // short form
    EXPECT_EQ(scg_sense_key(scgp), -1);
    EXPECT_EQ(scg_sense_code(scgp), 4);
    EXPECT_EQ(scg_sense_qual(scgp), 0);

    // Sense bytes left from before do not count once the command succeeded.
    scmd->status[0] = 0;
    scmd->sense[0] = 0;
    scmd->sense[12] = 0x3A;
    EXPECT_EQ(scg_sense_code(scgp), 0);
}

std::string device_line(unsigned char b0, unsigned char b1, unsigned char b3) {
    unsigned char inq[36] = {};
    inq[0] = b0;
    inq[1] = b1;
    inq[3] = b3;
    qvtest::CapturedStream f;
    scg_fprintdev(f, inq);
    return f.text();
}

TEST(DeviceLine, TypesQualifiersAndFormats) {
    EXPECT_EQ(device_line(0x05, 0x80, 0x02), "Removable CD-ROM\n");
    EXPECT_EQ(device_line(0x00, 0x00, 0x02), "Disk\n");
    EXPECT_EQ(device_line(0x0D, 0x00, 0x00), "Enclosure services\n");
    EXPECT_EQ(device_line(0x0E, 0x00, 0x00), "unknown device type 0xe\n");
    EXPECT_EQ(device_line(0x7F, 0x00, 0x02), "unsupported\n");
    EXPECT_EQ(device_line(0x7F, 0x80, 0x02), "Removable unsupported\n");
    EXPECT_EQ(device_line(0x7F, 0x00, 0x00), "unit not present\n");
    EXPECT_EQ(device_line(0x1F, 0x00, 0x02), "unknown/no device\n");
    EXPECT_EQ(device_line(0x1F, 0x00, 0x01), "unknown device type 0x1f\n");
    EXPECT_EQ(device_line(0x25, 0x00, 0x02), "not present CD-ROM\n");
    EXPECT_EQ(device_line(0x45, 0x00, 0x02), "reserved CD-ROM\n");
    EXPECT_EQ(device_line(0x65, 0x00, 0x02), "unsupported CD-ROM\n");
    EXPECT_EQ(device_line(0xA5, 0x00, 0x12), "vendor specific 5 CD-ROM\n");
    EXPECT_EQ(device_line(0xA5, 0x00, 0x01), "CD-ROM\n");  // qualifier shown from format 2 on
}

TEST_F(PrintTest, ErrorTextFlushWritesOnce) {
    EXPECT_EQ(scg_printf(scgp, "%s %d\n", "abc", 42), 7);
    EXPECT_EQ(scg_printf(scgp, "x"), 1);
    EXPECT_STREQ(scgp->errbuf, "abc 42\nx");
    EXPECT_EQ(scg_errflush(scgp), 8);
    EXPECT_EQ(scg_errflush(scgp), 0);
    EXPECT_EQ(scg_printf(scgp, "y"), 1);
    EXPECT_EQ(scg_errfflush(scgp, out), 1);
    EXPECT_EQ(out.text(), "abc 42\nxy");
    scgp->err_stream = nullptr;
    scg_printf(scgp, "z");
    EXPECT_EQ(scg_errflush(scgp), 0);
}

TEST_F(PrintTest, PrinterrOfASuccessfulCommandIsEmpty) {
    scg_printerr(scgp);
    EXPECT_EQ(out.text(), "");
    scgp->cmdrec->resid = 5;
    scgp->silent = 3;
    scgp->verbose = 1;
    scg_printerr(scgp);
    EXPECT_EQ(out.text(), "resid: 5\n");
    EXPECT_EQ(scgp->silent, 3);
    EXPECT_EQ(scgp->verbose, 1);
    scgp->err_stream = nullptr;
    scg_printerr(scgp);
    scg_printstatus(scgp);
}

}  // namespace
