// The drive listing on the scripted transport, and the jumper notice.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drivecmd/testing/drivetable.h"
#include "support/printf.h"
#include "tool/listing.h"
#include "tool/report.h"
#include "tool/testing/tooltest.h"

namespace {

using qvtest::InquiryReply;

class ListDrivesTest : public qvtest::ToolTest {
protected:
    Report report;
};

TEST_F(ListDrivesTest, ListsTheMakersDrivesOnEveryTargetUpTo15) {
    scg_fake::Reply disk = InquiryReply("HALCYON ", "HD-1080S        ", "0412");
    disk.data[0] = 0;
    const struct {
        const char* name;
        qvtest::Devices devices;
        std::string table, out;
    } rows[] = {
        {"every kind",
         {{{0, 2}, InquiryReply("MERIDIAN", "CD-ROM MX-3240  ", "2.04")},
          {{0, 9}, InquiryReply("DRAVLIN ", "CD-R   QV-G567L ", "1.00")},
          {{1, 0}, disk},
          {{1, 3}, InquiryReply("DRAVLIN ", "CD-ROM QV-Z9ZZ  ", "1.00")},
          {{1, 5}, InquiryReply("DRAVLIN ", "CD-ROM QV-B8NB  ", "1.10")},
          {{1, 15}, InquiryReply("DRAVLIN ", "*Loader Mode 1* ", "1.06")}},
         // The scan's table holds CD-ROM class devices of any maker on
         // targets 0 to 7 only: the other maker's drive, not the drive at
         // target 9.
         "(0,2) (1,3) (1,5)",
         "DRAVLIN CD-R   QV-G567L  V1.00 (HA:0 ID:9)\n"
         "Dravlin drive CD-ROM QV-Z9ZZ   not recognized.\n"
         "Contact Dravlin for an update. (HA:1 ID:3)\n"
         "DRAVLIN CD-ROM QV-B8NB   V1.10 (HA:1 ID:5)\n"
         "DRAVLIN *Loader Mode 1*  V1.06 (HA:1 ID:15)\n"},
        {"other makers alone", {{{0, 4}, InquiryReply("MERIDIAN", "CD-ROM MX-3240  ", "2.04")}}, "(0,4)", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fake.sent.clear();
        fake.buses = {0, 1};
        qvtest::AnswerAsBus(fake, row.devices);
        const SessionSetUp set_up = Open();
        ASSERT_EQ(set_up.end, std::nullopt);
        EXPECT_EQ(qvtest::Entries(set_up.drives), row.table);
        const qvtest::Said said = qvtest::Capture([&] { ListDrives(*link, dialogue, report, NO_TYPE); });
        EXPECT_EQ(said.out, row.out);
        EXPECT_EQ(said.err, "");

        // After the scan's 32 commands, one INQUIRY for 96 bytes per
        // address of the two adapters; the six adapter numbers that do not
        // exist cost nothing.
        ASSERT_EQ(fake.sent.size(), 32u + 2 * 16);
        for (int i = 0; i < 32; i++) {
            const scg_fake::Sent& e = fake.sent[32 + i];
            EXPECT_EQ(e.bus, i / 16);
            EXPECT_EQ(e.target, i % 16);
            EXPECT_EQ(e.cdb, (std::vector<unsigned char>{0x12, 0, 0, 0, 0x60, 0}));
            EXPECT_EQ(e.lun, 0);
        }
    }
}

TEST(PrintJumperTest, EightLinesOf63ColumnsAfterAnEmptyLine) {
    ::testing::internal::CaptureStdout();
    PrintJumper();
    sup::flush();
    const std::string out = ::testing::internal::GetCapturedStdout();

    const std::string pad = std::string(63, ' ');
    auto line = [&](const std::string& text) { return (text + pad).substr(0, 63) + "\n"; };
    // Built by appending: g++ 12 at -O3 reports a false -Wrestrict for
    // "\n" + std::string (its bug 105329 in the string's insert).
    std::string want = "\n";
    want += line("You need to install a jumper to enable upgrade .") +
            line("Rear side of view of QV-G253K :") + line("                   BLOCK") +
            line("      SCSI-ID      | FLASH") + line("       | | |       | |") +
            line("       . . . . . . . .") + line("       . . . . . .|. .|   SCSI connector") +
            line("      PCB side    ----- <- jumper");
    EXPECT_EQ(out, want);

    // The drawing's columns, counted from 1.
    std::vector<std::string> lines;
    for (std::size_t at = 1; at < out.size(); at += 64) lines.push_back(out.substr(at, 63));
    ASSERT_EQ(lines.size(), 8u);
    auto at = [&](int row, int col, const std::string& text) {
        SCOPED_TRACE("line " + std::to_string(row) + " column " + std::to_string(col));
        EXPECT_EQ(lines[row - 1].substr(col - 1, text.size()), text);
    };
    at(3, 20, "BLOCK");
    at(4, 7, "SCSI-ID");
    at(4, 20, "|");
    at(4, 22, "FLASH");
    for (int col : {8, 10, 12, 20, 22}) at(5, col, "|");
    for (int col : {8, 10, 12, 14, 16, 18, 20, 22}) at(6, col, ".");
    for (int col : {8, 10, 12, 14, 16, 18, 20, 22}) at(7, col, ".");
    at(7, 19, "|");
    at(7, 23, "|");
    at(7, 27, "SCSI connector");
    at(8, 7, "PCB side");
    at(8, 19, "-----");
    at(8, 25, "<- jumper");
}

}  // namespace
