#include "drivecmd/pcmd.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "scg/testing/fake_transport.h"
#include "testing/scsitest.h"
#include "testing/testsupport.h"

namespace {

using Bytes = std::vector<unsigned char>;

// The drive commands that take no handle use the global one: it is the
// fixture's.
class DriveCommandTest : public qvtest::HandleTest {
protected:
    void SetUp() override {
        HandleTest::SetUp();
        ::scgp = scgp;
        ndrive = 0;
        nhost = 0;
    }
    void TearDown() override {
        HandleTest::TearDown();
        ::scgp = nullptr;
    }

    // A bus answering like the ASPI layer: the devices by (bus, target) with
    // their peripheral device type; empty addresses fail.
    void Bus(std::map<std::pair<int, int>, unsigned char> devices) {
        fake.fallback.during = [devices](SCSI* s) {
            struct scg_cmd* rec = s->cmdrec;
            auto it = devices.find({s->scsibus, s->target});
            if (it == devices.end()) {
                rec->error = SCGE_FATAL;
                rec->ux_errno = EINVAL;
                return;
            }
            if (rec->cdb[0] == 0x12 && rec->size > 0) static_cast<unsigned char*>(rec->addr)[0] = it->second;
        };
    }

    const scg_fake::Sent& Last() { return fake.sent.back(); }
};

// --- record builders -----------------------------------------------------------

TEST_F(DriveCommandTest, GroupZeroCommandsCarryTheLunAndTheirRecordFields) {
    unsigned char buf[36];
    struct Case {
        const char* name;
        std::function<int()> call;
        Bytes cdb_lun0;
        int flags;
        int size;
    };
    const std::vector<Case> cases = {
        {"test unit ready", [&] { return test_unit_ready(scgp); }, {0x00, 0, 0, 0, 0, 0}, SCGF_DISCONNECT, 0},
        {"rezero unit", [&] { return rezero_unit(scgp); }, {0x01, 0, 0, 0, 0, 0}, SCGF_DISCONNECT, 0},
        {"request_sense",
         [&] { return request_sense(scgp, buf, 18); },
         {0x03, 0, 0, 0, 18, 0},
         SCGF_RECV | SCGF_DISCONNECT,
         18},
        {"inquiry",
         [&] { return inquiry(scgp, buf, 36); },
         {0x12, 0, 0, 0, 0x24, 0},
         SCGF_RECV | SCGF_DISCONNECT,
         36},
    };
    for (int lun : {0, 1, 7}) {
        scg_settarget(scgp, 0, 1, lun);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " lun " + std::to_string(lun));
            EXPECT_EQ(c.call(), 0);
            Bytes cdb = c.cdb_lun0;
            cdb[1] = static_cast<unsigned char>(lun << 5);
            EXPECT_EQ(Last().cdb, cdb);
            EXPECT_EQ(Last().cdb_len, 6);
            EXPECT_EQ(Last().flags, c.flags);
            EXPECT_EQ(Last().size, c.size);
            EXPECT_EQ(Last().addr, c.size ? static_cast<void*>(buf) : nullptr);
            EXPECT_EQ(Last().sense_len, 18);
            EXPECT_EQ(Last().timeout, scgp->default_timeout);  // none of its own
            EXPECT_EQ(Last().cmd_name, c.name);
        }
    }
}

TEST_F(DriveCommandTest, TestUnitReadyMarksItselfSilentWhileTheHandleIs) {
    scgp->silent = 2;
    test_unit_ready(scgp);
    EXPECT_EQ(Last().flags, SCGF_DISCONNECT | SCGF_SILENT);
}

TEST_F(DriveCommandTest, InquiryClearsTheWholeBufferBeforeAShortAnswer) {
    unsigned char buf[40];
    std::fill(std::begin(buf), std::end(buf), 0xAA);
    scg_fake::Reply r;
    r.data = {5, 0x80, 2, 2};
    fake.push(r);
    EXPECT_EQ(inquiry(scgp, buf, 36), 0);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{5, 0x80, 2, 2}));
    EXPECT_EQ(Bytes(buf + 4, buf + 36), Bytes(32, 0));
    EXPECT_EQ(Bytes(buf + 36, buf + 40), Bytes(4, 0xAA));  // beyond the count: untouched
}

TEST_F(DriveCommandTest, FailingBuildersAnswerMinusOneAndReportUnlessSilent) {
    unsigned char buf[36];
    fake.push(qvtest::CheckCondition(0x02, 0x3A));
    EXPECT_EQ(inquiry(scgp, buf, 36), -1);
    EXPECT_NE(err().find("inquiry"), std::string::npos);

    fake.push(qvtest::CheckCondition(0x02, 0x3A));
    EXPECT_EQ(request_sense(scgp, buf, 18), -1);
}

TEST_F(DriveCommandTest, VerboseDumpsStopAtTheCallersBufferOnOverrun) {
    unsigned char buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    scgp->verbose = 1;
    scg_fake::Reply overrun;
    overrun.resid = -100;
    overrun.data = Bytes(8, 0x11);
    scg_fake::Reply shortread;
    shortread.resid = 6;
    shortread.data = Bytes(8, 0x22);
    scg_fake::Reply nonsense;  // more missing than was asked for
    nonsense.resid = 50;

    fake.push(overrun);
    fake.push(shortread);
    fake.push(nonsense);
    fake.push(overrun);
    ::testing::internal::CaptureStderr();
    inquiry(scgp, buf, 8);
    inquiry(scgp, buf, 8);
    inquiry(scgp, buf, 8);
    request_sense(scgp, buf, 8);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Inquiry Data   : 11 11 11 11 11 11 11 11\n"
              "Inquiry Data   : 22 22\n"
              "Inquiry Data   :\n"
              "Sense Bytes: 11 11 11 11 11 11 11 11\n");
}

// --- address-level wrappers ---------------------------------------------------

// (Test is written ::Test here: inside a fixture the bare name is the
// fixture's base class.)
TEST_F(DriveCommandTest, TestAnswersReadinessAndKeepsTheSenseOfAFailure) {
    fake.push(qvtest::CheckCondition(0x02, 0x3A));
    EXPECT_EQ(::Test(0, 2), 0);
    EXPECT_EQ(Last().bus, 0);
    EXPECT_EQ(Last().target, 2);
    EXPECT_EQ(Last().lun, 0);
    EXPECT_EQ(Last().flags, SCGF_DISCONNECT | SCGF_SILENT);
    EXPECT_EQ(scgp->silent, 0);
    EXPECT_EQ(scg_sense_code(scgp), 0x3A);
    EXPECT_EQ(err(), "");

    EXPECT_EQ(::Test(0, 2), 1);
    EXPECT_EQ(scgp->silent, 0);
}

TEST_F(DriveCommandTest, InquireProbesQuietlyForNinetySixBytes) {
    unsigned char buf[96];
    scgp->silent = 1;  // a caller's own silence survives
    fake.push(qvtest::CheckCondition(0x02, 0x25));
    EXPECT_EQ(inquire(0, 3, buf), 0);
    EXPECT_EQ(scgp->silent, 1);
    scgp->silent = 0;

    fake.push(qvtest::CheckCondition(0x02, 0x25));
    EXPECT_EQ(inquire(0, 3, buf), 0);
    EXPECT_EQ(scgp->silent, 0);
    EXPECT_EQ(err(), "");

    fake.push(qvtest::InquiryReply("DRAVLIN ", "CD-R   QV-G567L ", "1.00"));
    EXPECT_EQ(inquire(0, 3, buf), 1);
    EXPECT_EQ(Last().cdb, (Bytes{0x12, 0, 0, 0, 96, 0}));
    EXPECT_EQ(Last().target, 3);
}

TEST_F(DriveCommandTest, InquireTakesBusAndTargetAsEightBitValues) {
    unsigned char buf[96];
    fake.buses = {0, 1};
    EXPECT_EQ(inquire(0x101, 0x102, buf), 1);
    EXPECT_EQ(Last().bus, 1);
    EXPECT_EQ(Last().target, 2);
    EXPECT_EQ(inquire(0xFF, 2, buf), 129);  // bus -1
}

TEST_F(DriveCommandTest, MissingBusAnswers129WithoutSelectingOrSending) {
    unsigned char buf[96];
    char vendor[9] = "v", product[17] = "p", revision[5] = "r";
    EXPECT_EQ(inquire(3, 2, buf), 129);
    EXPECT_EQ(DevInquiry(3, 2, vendor, product, revision), 129);
    EXPECT_TRUE(fake.sent.empty());
    EXPECT_EQ(scgp->target, 1);  // still the address of before
    EXPECT_STREQ(vendor, "v");
}

TEST_F(DriveCommandTest, DevInquirySplitsTheFieldsAndReportsItsFailure) {
    char vendor[9], product[17], revision[5] = {'x', 'x', 'x', 'x', 'x'};
    fake.push(qvtest::InquiryReply("DRAVLIN ", "CD-ROM QV-B8NB  ", "1.06"));
    EXPECT_EQ(DevInquiry(0, 4, vendor, product, revision), 1);
    EXPECT_EQ(Last().cdb, (Bytes{0x12, 0, 0, 0, 56, 0}));
    EXPECT_STREQ(vendor, "DRAVLIN ");
    EXPECT_STREQ(product, "CD-ROM QV-B8NB  ");
    EXPECT_EQ(std::string(revision, 5), std::string("1.06\0", 5));

    fake.push(qvtest::CheckCondition(0x02, 0x04));
    EXPECT_EQ(DevInquiry(0, 4, vendor, product, revision), 0);
    EXPECT_STREQ(revision, "1.06");
    EXPECT_NE(err().find("inquiry"), std::string::npos);  // not a quiet probe
}

TEST_F(DriveCommandTest, RequestSenseAndRezeroSelectLunZero) {
    unsigned char sense[18];
    std::fill(std::begin(sense), std::end(sense), 0xEE);
    scg_settarget(scgp, 0, 1, 5);
    scg_fake::Reply r;
    r.data = {0x70, 0, 6};
    fake.push(r);
    EXPECT_EQ(RequestSense(0, 5, sense), 1);
    EXPECT_EQ(Last().cdb, (Bytes{0x03, 0, 0, 0, 18, 0}));
    EXPECT_EQ(Bytes(sense, sense + 4), (Bytes{0x70, 0, 6, 0}));
    EXPECT_EQ(Bytes(sense + 3, sense + 18), Bytes(15, 0));

    EXPECT_EQ(Rezero(0, 5), 1);
    EXPECT_EQ(Last().cdb, (Bytes{0x01, 0, 0, 0, 0, 0}));
    fake.push(qvtest::CheckCondition(0x02, 0x04));
    EXPECT_EQ(Rezero(0, 5), 0);
}

TEST(DriveCommandPlaceholderDeathTest, PrintTheirNameAndEndTheRun) {
    // Standard output goes to standard error in the child, where the death
    // test can read it.
    EXPECT_EXIT((::dup2(2, 1), ModeSense()), ::testing::ExitedWithCode(1), "^modesense\n$");
    EXPECT_EXIT((::dup2(2, 1), ModeSelect()), ::testing::ExitedWithCode(1), "^modeselect\n$");
    EXPECT_EXIT((::dup2(2, 1), ReadCPU()), ::testing::ExitedWithCode(1), "^Read CPU\n$");
    EXPECT_EXIT((::dup2(2, 1), WriteRAM()), ::testing::ExitedWithCode(1), "^Write RAM\n$");
}

// --- firmware transfer --------------------------------------------------------

TEST_F(DriveCommandTest, FirmwareCommandsSendTheirExactCdbsWithoutTheLun) {
    Bytes out(32768);
    for (std::size_t i = 0; i < out.size(); i++) out[i] = static_cast<unsigned char>(i * 7);
    unsigned char in[32];
    struct Case {
        const char* name;
        std::function<int()> call;
        int target;
        Bytes cdb;
        int flags;
        int size;
        void* addr;
    };
    const int wflags = SCGF_DISCONNECT | SCGF_BIT3;
    const std::vector<Case> cases = {
        {"write_buffer",
         [&] { return WriteBuffer(0, 4, 4, 0, 0x1E000, 8192, out.data()); },
         4,
         {0x3B, 0x04, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x20, 0x00, 0x00},
         wflags,
         8192,
         out.data()},
        {"write_buffer",
         [&] { return WriteBuffer(0, 4, 13, 0x1FF, 0x7E000, 8192, out.data()); },
         4,
         {0x3B, 0x05, 0xFF, 0x07, 0xE0, 0x00, 0x00, 0x20, 0x00, 0x00},
         wflags,
         8192,
         out.data()},
        {"write_rom",
         [&] { return WriteRom(0, 2, 1, 0x8000, 32768, out.data()); },
         2,
         {0xE2, 0x01, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00},
         wflags,
         32768,
         out.data()},
        {"write_rom",
         [&] { return WriteRom(0, 2, 0x100, 0x38000, 32768, out.data()); },
         2,
         {0xE2, 0x00, 0x00, 0x03, 0x80, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00},
         wflags,
         32768,
         out.data()},
        {"read_rom",
         [&] { return ReadRom(0, 2, 0x100180, 32, in); },
         2,
         {0xE3, 0x00, 0x00, 0x10, 0x01, 0x80, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00},
         SCGF_RECV | wflags,
         32,
         in},
        {"erase_rom",
         [&] { return EraseRom(0, 2); },
         2,
         {0xE1, 0x04, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
         wflags,
         0,
         nullptr},
    };
    scg_settarget(scgp, 0, 1, 3);  // a lun left by an earlier address
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(), 1);
        EXPECT_EQ(Last().cdb, c.cdb);
        EXPECT_EQ(Last().cdb_len, static_cast<int>(c.cdb.size()));
        EXPECT_EQ(Last().flags, c.flags);
        EXPECT_EQ(Last().size, c.size);
        EXPECT_EQ(Last().addr, c.addr);
        EXPECT_EQ(Last().sense_len, 18);
        EXPECT_EQ(Last().timeout, scgp->default_timeout);
        EXPECT_EQ(Last().cmd_name, c.name);
        EXPECT_EQ(Last().bus, 0);
        EXPECT_EQ(Last().target, c.target);
        EXPECT_EQ(Last().lun, 0);
        if (!(c.flags & SCGF_RECV) && c.size > 0) {
            EXPECT_EQ(Last().data, Bytes(out.begin(), out.begin() + c.size));
        }
    }
}

TEST_F(DriveCommandTest, FirmwareCommandsAnswerZeroOnFailure) {
    unsigned char data[32] = {};
    const std::vector<std::function<int()>> calls = {
        [&] { return WriteBuffer(0, 4, 5, 0, 0, 32, data); },
        [&] { return EraseRom(0, 2); },
        [&] { return WriteRom(0, 2, 0, 0, 32, data); },
        [&] { return ReadRom(0, 2, 0x100180, 32, data); },
    };
    for (const auto& call : calls) {
        fake.push(qvtest::CheckCondition(0x02, 0x0C));
        EXPECT_EQ(call(), 0);
    }
}

// --- scan ----------------------------------------------------------------------

TEST_F(DriveCommandTest, DeviceAddressFillsOneEntryWithoutAnyCommand) {
    scg_settarget(scgp, 1, 3, 0);
    EXPECT_EQ(scsi_device(), 1);
    EXPECT_EQ(ndrive, 1);
    EXPECT_EQ(arHA[0], 1);
    EXPECT_EQ(arID[0], 3);
    EXPECT_TRUE(fake.sent.empty());
}

TEST_F(DriveCommandTest, ScanRecordsCdromClassDevicesOnlyAndStaysQuiet) {
    fake.buses = {0, 1};
    nhost = 2;
    scg_settarget(scgp, -1, -1, -1);
    Bus({{{0, 2}, 5}, {{1, 0}, 0}, {{1, 5}, 1}});  // CD-ROM, disk, tape
    scgp->silent = 0;
    EXPECT_EQ(scsi_device(), -1);
    EXPECT_EQ(ndrive, 1);
    EXPECT_EQ(arHA[0], 0);
    EXPECT_EQ(arID[0], 2);
    EXPECT_EQ(scgp->silent, 0);
    EXPECT_EQ(err(), "");

    // Each address of each bus: TEST UNIT READY, then INQUIRY for 36 bytes, at lun 0.
    ASSERT_EQ(fake.sent.size(), 2u * 8 * 2);
    for (std::size_t i = 0; i < fake.sent.size(); i++) {
        const scg_fake::Sent& s = fake.sent[i];
        EXPECT_EQ(s.bus, static_cast<int>(i / 16));
        EXPECT_EQ(s.target, static_cast<int>(i / 2 % 8));
        EXPECT_EQ(s.lun, 0);
        EXPECT_EQ(s.cdb, i % 2 ? (Bytes{0x12, 0, 0, 0, 36, 0}) : (Bytes{0, 0, 0, 0, 0, 0}));
    }
}

TEST_F(DriveCommandTest, ScanSkipsMissingBusesBelowTheCount) {
    fake.buses = {0, 3};
    nhost = 4;
    scg_settarget(scgp, -1, -1, -1);
    Bus({{{3, 6}, 5}});
    scsi_device();
    EXPECT_EQ(ndrive, 1);
    EXPECT_EQ(arHA[0], 3);
    EXPECT_EQ(arID[0], 6);
    for (const scg_fake::Sent& s : fake.sent) EXPECT_TRUE(s.bus == 0 || s.bus == 3);
    EXPECT_EQ(fake.sent.size(), 2u * 16);
}

TEST_F(DriveCommandTest, ScanKeepsTheFirst32DevicesAndIgnoresTheRest) {
    fake.buses = {0, 1, 2, 3, 4, 5, 6, 7};
    nhost = 8;
    scg_settarget(scgp, -1, -1, -1);
    std::map<std::pair<int, int>, unsigned char> all;
    for (int b = 0; b < 8; b++)
        for (int t = 0; t < 8; t++) all[{b, t}] = 5;
    Bus(all);
    scsi_device();
    ASSERT_EQ(ndrive, MAX_DRIVES);
    for (int i = 0; i < MAX_DRIVES; i++) {
        EXPECT_EQ(arHA[i], i / 8);
        EXPECT_EQ(arID[i], i % 8);
    }
    EXPECT_EQ(scgp->silent, 0);

    // A full table takes no device address either.
    scg_settarget(scgp, 7, 7, 0);
    EXPECT_EQ(scsi_device(), 1);
    EXPECT_EQ(ndrive, MAX_DRIVES);
    EXPECT_EQ(arHA[MAX_DRIVES - 1], 3);
}

}  // namespace
