#include "drivecmd/commands.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "drivecmd/testing/drivetable.h"
#include "scg/testing/fake_transport.h"
#include "testing/scsitest.h"
#include "support/printf.h"
#include "testing/testsupport.h"

namespace {

using Bytes = std::vector<unsigned char>;

class DriveCommandTest : public qvtest::HandleTest {
protected:
    const scg_fake::Sent& Last() { return fake.sent.back(); }
};

const Reply kOk = Reply::ok;

// --- record builders -----------------------------------------------------------

TEST_F(DriveCommandTest, GroupZeroCommandsCarryTheLunAndTheirRecordFields) {
    unsigned char buf[36];
    struct Case {
        const char* name;
        std::function<Reply()> call;
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
            EXPECT_EQ(c.call(), kOk);
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
    EXPECT_EQ(inquiry(scgp, buf, 36), kOk);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{5, 0x80, 2, 2}));
    EXPECT_EQ(Bytes(buf + 4, buf + 36), Bytes(32, 0));
    EXPECT_EQ(Bytes(buf + 36, buf + 40), Bytes(4, 0xAA));  // beyond the count: untouched
}

TEST_F(DriveCommandTest, FailingBuildersReportUnlessSilent) {
    unsigned char buf[36];
    fake.push(qvtest::CheckCondition(0x02, 0x3A));
    EXPECT_EQ(inquiry(scgp, buf, 36), Reply::failed);
    EXPECT_NE(err().find("inquiry"), std::string::npos);

    fake.push(qvtest::CheckCondition(0x03, 0x11));
    EXPECT_EQ(request_sense(scgp, buf, 18), Reply::failed);
}

// What a failed command tells the caller: a drive in use first, then a
// refusal by a current NOT READY or ILLEGAL REQUEST in either sense format.
TEST_F(DriveCommandTest, AFailureSaysWhetherTheDriveWasInUseOrRefusedTheCommand) {
    // As the ASPI transport completes a CHECK CONDITION.
    auto sensed = [](std::vector<unsigned char> sense) {
        scg_fake::Reply r;
        r.error = SCGE_RETRYABLE;
        r.status[0] = 0x02;
        r.sense = std::move(sense);
        return r;
    };
    using qvtest::FixedSense;
    scg_fake::Reply busy;
    busy.status[0] = 0x08;
    scg_fake::Reply ebusy;
    ebusy.ux_errno = EBUSY;
    ebusy.error = SCGE_RETRYABLE;
    scg_fake::Reply timeout;
    timeout.error = SCGE_TIMEOUT;
    const struct {
        const char* name;
        scg_fake::Reply reply;
        Reply want;
    } rows[] = {
        {"busy", busy, Reply::in_use},
        {"layer busy", ebusy, Reply::in_use},
        {"not ready", sensed(FixedSense(0x02, 0x04)), Reply::refused},
        {"illegal request", sensed(FixedSense(0x05, 0x24)), Reply::refused},
        {"descriptor format", sensed({0x72, 0x05, 0x24, 0}), Reply::refused},
        {"medium error", sensed(FixedSense(0x03, 0x11)), Reply::failed},
        {"not retryable", qvtest::CheckCondition(0x02, 0x04), Reply::failed},
        {"deferred", sensed({0x71, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x04}), Reply::failed},
        {"no sense bytes", sensed({}), Reply::failed},
        {"time-out", timeout, Reply::failed},
    };
    for (const auto& row : rows) {
        fake.push(row.reply);
        EXPECT_EQ(test_unit_ready(scgp), row.want) << row.name;
    }
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

// --- at an address ---------------------------------------------------------------

TEST_F(DriveCommandTest, TestUnitReadyAtKeepsTheSenseAndTheCallersSilence) {
    scgp->silent = 1;  // a caller's silence reaches the record
    fake.push(qvtest::CheckCondition(0x02, 0x3A));
    EXPECT_EQ(test_unit_ready_at(scgp, {0, 2}), Reply::failed);
    EXPECT_EQ(Last().bus, 0);
    EXPECT_EQ(Last().target, 2);
    EXPECT_EQ(Last().lun, 0);
    EXPECT_EQ(Last().flags, SCGF_DISCONNECT | SCGF_SILENT);
    EXPECT_EQ(scgp->silent, 1);
    EXPECT_EQ(scg_sense_code(scgp), 0x3A);
    EXPECT_EQ(err(), "");
    scgp->silent = 0;
    EXPECT_EQ(test_unit_ready_at(scgp, {0, 2}), kOk);
    EXPECT_EQ(Last().flags, SCGF_DISCONNECT);
}

TEST_F(DriveCommandTest, InquiryAtTakesBusAndTargetAsEightBitValues) {
    unsigned char buf[96];
    fake.buses = {0, 1};
    fake.push(qvtest::InquiryReply("DRAVLIN ", "CD-R   QV-G567L ", "1.00"));
    EXPECT_EQ(inquiry_at(scgp, {0x101, 0x102}, buf, 96), kOk);
    EXPECT_EQ(Last().cdb, (Bytes{0x12, 0, 0, 0, 96, 0}));
    EXPECT_EQ(Last().bus, 1);
    EXPECT_EQ(Last().target, 2);
    EXPECT_EQ(inquiry_at(scgp, {0xFF, 2}, buf, 96), Reply::no_bus);  // bus -1
    // A missing bus selects and sends nothing.
    const std::size_t sent = fake.sent.size();
    EXPECT_EQ(inquiry_at(scgp, {3, 2}, buf, 96), Reply::no_bus);
    EXPECT_EQ(fake.sent.size(), sent);
    EXPECT_EQ(scgp->target, 2);  // still the address of before
}

TEST_F(DriveCommandTest, InquiryTextSplitsTheFieldsAndAFailureIsReportedUnlessQuiet) {
    unsigned char buf[56];
    fake.push(qvtest::InquiryReply("DRAVLIN ", "CD-ROM QV-B8NB  ", "1.06"));
    ASSERT_EQ(inquiry_at(scgp, {0, 4}, buf, 56), kOk);
    EXPECT_EQ(Last().cdb, (Bytes{0x12, 0, 0, 0, 56, 0}));
    const InquiryText text = inquiry_text(buf);
    EXPECT_STREQ(text.vendor, "DRAVLIN ");
    EXPECT_STREQ(text.product, "CD-ROM QV-B8NB  ");
    EXPECT_EQ(std::string(text.revision, 5), std::string("1.06\0", 5));

    scgp->silent = 1;
    fake.push(qvtest::CheckCondition(0x02, 0x04));
    EXPECT_EQ(inquiry_at(scgp, {0, 4}, buf, 56), Reply::failed);
    EXPECT_EQ(err(), "");
    scgp->silent = 0;
    fake.push(qvtest::CheckCondition(0x02, 0x04));
    EXPECT_EQ(inquiry_at(scgp, {0, 4}, buf, 56), Reply::failed);
    EXPECT_NE(err().find("inquiry"), std::string::npos);
}

TEST_F(DriveCommandTest, RequestSenseAndRezeroSelectLunZero) {
    unsigned char sense[18];
    std::fill(std::begin(sense), std::end(sense), 0xEE);
    scg_settarget(scgp, 0, 1, 5);
    scg_fake::Reply r;
    r.data = {0x70, 0, 6};
    fake.push(r);
    EXPECT_EQ(request_sense_at(scgp, {0, 5}, sense), kOk);
    EXPECT_EQ(Last().cdb, (Bytes{0x03, 0, 0, 0, 18, 0}));
    EXPECT_EQ(Bytes(sense, sense + 4), (Bytes{0x70, 0, 6, 0}));
    EXPECT_EQ(Bytes(sense + 3, sense + 18), Bytes(15, 0));

    EXPECT_EQ(rezero_unit_at(scgp, {0, 5}), kOk);
    EXPECT_EQ(Last().cdb, (Bytes{0x01, 0, 0, 0, 0, 0}));
    fake.push(qvtest::CheckCondition(0x02, 0x04));
    EXPECT_EQ(rezero_unit_at(scgp, {0, 5}), Reply::failed);
}

TEST(DriveCommandPlaceholder, PrintTheirNameAndFail) {
    const struct {
        Reply (*call)();
        const char* out;
    } rows[] = {
        {mode_sense, "modesense\n"},
        {mode_select, "modeselect\n"},
        {read_cpu, "Read CPU\n"},
        {write_ram, "Write RAM\n"},
    };
    for (const auto& row : rows) {
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(row.call(), Reply::failed);
        sup::flush();
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), row.out);
    }
}

// --- firmware transfer --------------------------------------------------------

TEST_F(DriveCommandTest, FirmwareCommandsSendTheirExactCdbsWithoutTheLun) {
    Bytes out(32768);
    for (std::size_t i = 0; i < out.size(); i++) out[i] = static_cast<unsigned char>(i * 7);
    unsigned char in[32];
    struct Case {
        const char* name;
        std::function<Reply()> call;
        int target;
        Bytes cdb;
        int flags;
        int size;
        void* addr;
    };
    const int wflags = SCGF_DISCONNECT | SCGF_BIT3;
    const std::vector<Case> cases = {
        {"write_buffer",
         [&] {
             return write_buffer_at(scgp, {0, 4}, 4, 0, 0x1E000, 8192, out.data());
         },
         4,
         {0x3B, 0x04, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x20, 0x00, 0x00},
         wflags,
         8192,
         out.data()},
        {"write_buffer",
         [&] {
             return write_buffer_at(scgp, {0, 4}, 13, 0x1FF, 0x7E000, 8192, out.data());
         },
         4,
         {0x3B, 0x05, 0xFF, 0x07, 0xE0, 0x00, 0x00, 0x20, 0x00, 0x00},
         wflags,
         8192,
         out.data()},
        {"write_rom",
         [&] {
             return write_rom_at(scgp, {0, 2}, 1, 0x8000, 32768, out.data());
         },
         2,
         {0xE2, 0x01, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00},
         wflags,
         32768,
         out.data()},
        {"write_rom",
         [&] {
             return write_rom_at(scgp, {0, 2}, 0x100, 0x38000, 32768, out.data());
         },
         2,
         {0xE2, 0x00, 0x00, 0x03, 0x80, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00},
         wflags,
         32768,
         out.data()},
        {"read_rom",
         [&] {
             return read_rom_at(scgp, {0, 2}, 0x100180, 32, in);
         },
         2,
         {0xE3, 0x00, 0x00, 0x10, 0x01, 0x80, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00},
         SCGF_RECV | wflags,
         32,
         in},
        {"erase_rom",
         [&] {
             return erase_rom_at(scgp, {0, 2});
         },
         2,
         {0xE1, 0x04, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
         wflags,
         0,
         nullptr},
    };
    scg_settarget(scgp, 0, 1, 3);  // a lun left by an earlier address
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(), kOk);
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

TEST_F(DriveCommandTest, FirmwareCommandsSayTheirFailure) {
    unsigned char data[32] = {};
    const std::vector<std::function<Reply()>> calls = {
        [&] {
            return write_buffer_at(scgp, {0, 4}, 5, 0, 0, 32, data);
        },
        [&] {
            return erase_rom_at(scgp, {0, 2});
        },
        [&] {
            return write_rom_at(scgp, {0, 2}, 0, 0, 32, data);
        },
        [&] {
            return read_rom_at(scgp, {0, 2}, 0x100180, 32, data);
        },
    };
    for (const auto& call : calls) {
        fake.push(qvtest::CheckCondition(0x03, 0x0C));
        EXPECT_EQ(call(), Reply::failed);
    }
}

// --- scan ----------------------------------------------------------------------

// A device of the given peripheral device type.
scg_fake::Reply Peripheral(unsigned char type) {
    scg_fake::Reply r;
    r.data = {type};
    return r;
}

TEST_F(DriveCommandTest, DeviceAddressFillsOneEntryWithoutAnyCommand) {
    scg_settarget(scgp, 1, 3, 0);
    const DriveTable t = scsi_device(scgp, 2);
    EXPECT_EQ(qvtest::Entries(t), "(1,3)");
    EXPECT_EQ(t.nhost, 2);
    EXPECT_TRUE(fake.sent.empty());
}

TEST_F(DriveCommandTest, ScanRecordsCdromClassDevicesOnlyAndStaysQuiet) {
    fake.buses = {0, 1};
    scg_settarget(scgp, -1, -1, -1);
    // CD-ROM, disk, tape, and a drive another program has.
    scg_fake::Reply busy;
    busy.status[0] = 0x08;
    qvtest::AnswerAsBus(
        fake, {{{0, 2}, Peripheral(5)}, {{0, 3}, busy}, {{1, 0}, Peripheral(0)}, {{1, 5}, Peripheral(1)}});
    scgp->silent = 0;
    const DriveTable t = scsi_device(scgp, 2);
    EXPECT_EQ(qvtest::Entries(t), "(0,2)");
    EXPECT_EQ(t.nbusy, 1);
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
    scg_settarget(scgp, -1, -1, -1);
    qvtest::AnswerAsBus(fake, {{{3, 6}, Peripheral(5)}});
    EXPECT_EQ(qvtest::Entries(scsi_device(scgp, 4)), "(3,6)");
    for (const scg_fake::Sent& s : fake.sent) EXPECT_TRUE(s.bus == 0 || s.bus == 3);
    EXPECT_EQ(fake.sent.size(), 2u * 16);
}

TEST_F(DriveCommandTest, ScanKeepsTheFirst32DevicesAndCountsTheRest) {
    fake.buses = {0, 1, 2, 3, 4, 5, 6, 7};
    scg_settarget(scgp, -1, -1, -1);
    qvtest::Devices all;
    for (int b = 0; b < 8; b++)
        for (int t = 0; t < 8; t++) all[{b, t}] = Peripheral(5);
    qvtest::AnswerAsBus(fake, all);
    const DriveTable t = scsi_device(scgp, 8);
    ASSERT_EQ(t.ndrive, MAX_DRIVES);
    EXPECT_EQ(t.nfound, 64);
    for (int i = 0; i < MAX_DRIVES; i++) {
        EXPECT_EQ(t.arHA[i], i / 8);
        EXPECT_EQ(t.arID[i], i % 8);
    }
    EXPECT_EQ(scgp->silent, 0);
}

}  // namespace
