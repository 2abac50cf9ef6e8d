// The drive listing against the simulated ASPI layer (in a child process,
// tool/testing/simrun.h), and the jumper notice.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/printf.h"
#include "tool/qvupgrade.h"
#include "tool/testing/simrun.h"

namespace {

using qvtest::DriveTable;
using qvtest::SimRun;
using ::testing::ExitedWithCode;

// Opens the session as a run without dev= does, then lists.
void RunListing(const SimRun& run) {
    run.Enter();
    int ha = 0, id = -1;
    initscsi(nullptr, &ha, &id);
    run.Result(DriveTable());
    ListDrives();
    std::exit(0);
}

TEST(ListDrivesDeathTest, ListsTheMakersDrivesOnEveryTargetUpTo15) {
    SimRun run(
        "adapters 2\n"
        "device 0 2 vendor=\"MERIDIAN\" product=\"CD-ROM MX-3240  \" revision=\"2.04\"\n"
        "device 0 9 vendor=\"DRAVLIN \" product=\"CD-R   QV-G567L \" revision=\"1.00\"\n"
        "device 1 0 type=0 vendor=\"HALCYON \" product=\"HD-1080S        \" revision=\"0412\"\n"
        "device 1 3 vendor=\"DRAVLIN \" product=\"CD-ROM QV-Z9ZZ  \" revision=\"1.00\"\n"
        "device 1 5 vendor=\"DRAVLIN \" product=\"CD-ROM QV-B8NB  \" revision=\"1.10\"\n"
        "device 1 15 vendor=\"DRAVLIN \" product=\"*Loader Mode 1* \" revision=\"1.06\"\n");
    EXPECT_EXIT(RunListing(run), ExitedWithCode(0), "");
    EXPECT_EQ(run.Out(),
              "DRAVLIN CD-R   QV-G567L  V1.00 (HA:0 ID:9)\n"
              "Dravlin drive CD-ROM QV-Z9ZZ   not recognized.\n"
              "Contact Dravlin for an update. (HA:1 ID:3)\n"
              "DRAVLIN CD-ROM QV-B8NB   V1.10 (HA:1 ID:5)\n"
              "DRAVLIN *Loader Mode 1*  V1.06 (HA:1 ID:15)\n");
    EXPECT_EQ(run.Err(), "");
    // The scan's table holds CD-ROM class devices of any maker on targets 0
    // to 7 only: the other maker's drive, not the drive at target 9.
    EXPECT_EQ(run.Results(), "(0,2) (1,3) (1,5)\n");

    // After the scan's 32 commands, one INQUIRY per address of the two
    // adapters; the six adapter numbers that do not exist cost nothing.
    const std::vector<std::string> execs = run.Execs();
    ASSERT_EQ(execs.size(), 32u + 2 * 16);
    for (int i = 0; i < 32; i++) {
        const std::string& e = execs[32 + i];
        SCOPED_TRACE(e);
        const std::string address = "exec " + std::to_string(i / 16) + " " + std::to_string(i % 16) + " 0 ";
        EXPECT_EQ(e.rfind(address, 0), 0u);
        EXPECT_NE(e.find(" cdb=120000006000"), std::string::npos);
    }
}

TEST(ListDrivesDeathTest, OtherMakersAloneGiveAnEmptyListing) {
    SimRun run(
        "adapters 1\n"
        "device 0 4 vendor=\"MERIDIAN\" product=\"CD-ROM MX-3240  \" revision=\"2.04\"\n");
    EXPECT_EXIT(RunListing(run), ExitedWithCode(0), "");
    EXPECT_EQ(run.Out(), "");
    EXPECT_EQ(run.Results(), "(0,4)\n");
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
