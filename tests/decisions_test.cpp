// Where the program had to choose: the end of the input, -all with -l, a
// failed or short transfer, an image shorter than its transfer, a drive that
// does not tell its version.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace e2e {
namespace {

const char kLoader[] = "*Loader Mode 1* ";
const char kG567L[] = "CD-R   QV-G567L ";
const char kB8NB[] = "CD-ROM QV-B8NB  ";
const char kH7763L[] = "CD-R   QV-H7763L";

std::vector<int> WriteBufferModes(const std::vector<LogEntry>& log, int ha, int target) {
    std::vector<int> modes;
    for (const LogEntry& e : Execs(To(log, ha, target), 0x3B)) modes.push_back(e.cdb[1]);
    return modes;
}

std::vector<int> WriteRomControls(const std::vector<LogEntry>& log) {
    std::vector<int> controls;
    for (const LogEntry& e : Execs(log, 0xE2)) controls.push_back(e.cdb[1]);
    return controls;
}

TEST(EndOfInput, AtTheDrivePrompt) {
    Sandbox box;
    box.SetBus(Drive(0, 2, kG567L, "1.00"));
    std::string file = box.WriteFile("qvg567l.bin", Image(13, "1.10"));
    for (const std::string input : {"", "q\nx\n"}) {
        Result r = box.Run({file}, input);
        EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-G567L loaded\n" +
                             "Upgrade Dravlin drive at HA:0 ID:2? (y/n/a) \n");
        EXPECT_EQ(r.err, Yes("QV-G567L", 0, 2, "1.00", "1.10"));
        EXPECT_EQ(r.status, 1);
        EXPECT_FALSE(r.timed_out);
    }
    EXPECT_TRUE(Changing(box.Log()).empty());
}

TEST(EndOfInput, AtTheConfirmation) {
    Sandbox box;
    box.SetBus(Drive(0, 2, kG567L, "1.00"));
    std::string file = box.WriteFile("qvg567l.bin", Image(13, "1.10"));
    const std::string head = std::string(kBanner) + "Upgrade file for QV-G567L loaded\n" + kWarning;
    struct Case {
        std::string input, out;
    } cases[] = {
        {"", head + "\n"},
        {"\n\n", head + "\n"},
        {"x", head + "\nContinue? (y/n) \n"},
    };
    for (const Case& c : cases) {
        Result r = box.Run({file, "-all"}, c.input);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, 1);
        EXPECT_FALSE(r.timed_out);
    }
    // Not even the medium check ran.
    EXPECT_EQ(Execs(To(box.Log(), 0, 2), 0x00).size(), 3u);  // one per run, from the scan
}

TEST(EndOfInput, NoDriveIsTouchedAfterIt) {
    Sandbox box;
    box.SetBus(Drive(0, 1, kB8NB, "1.04") + Drive(0, 3, kB8NB, "1.04"));
    Bytes image = Image(12, "1.06");
    std::string file = box.WriteFile("qvb8nb.bin", image);
    Result r = box.Run({file}, "y\ny\n");
    EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-B8NB loaded\n" +
                         "Upgrade Dravlin drive at HA:0 ID:1? (y/n/a)  y\n" + kWarning +
                         "Current firmware version: 1.04\n"
                         "Upgrade QV-B8NB (HA:0 ID:1) in progress...Done\n"
                         "New firmware version    : 1.06\n"
                         "Upgrade Dravlin drive at HA:0 ID:3? (y/n/a) \n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(WriteBufferModes(box.Log(), 0, 1).size(), 16u);
    EXPECT_TRUE(WriteBufferModes(box.Log(), 0, 3).empty());
}

TEST(FailedTransfer, NoPieceAndNoClosingPieceAfterAFailedOne) {
    Sandbox box;
    box.SetBus(Drive(0, 2, kG567L, "1.00") + Drive(0, 5, kG567L, "1.00") + "fail 0 2 0x3B 5\n");
    std::string file = box.WriteFile("qvg567l.bin", Image(13, "1.10"));
    Result r = box.Run({file, "-all"}, "y\n");
    EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-G567L loaded\n" + kWarning +
                         "Current firmware version: 1.00\n"
                         "Upgrade QV-G567L (HA:0 ID:2) in progress...Done\n"
                         "New firmware version    : 1.00\n"
                         "Error upgrading drive\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ZeroTimes(r.err), Yes("QV-G567L", 0, 2, "1.00", "1.10") +
                                    FaultReport("write_buffer", "3B 04 00 00 80 00 00 20 00 00"));

    std::vector<LogEntry> log = box.Log();
    EXPECT_EQ(WriteBufferModes(log, 0, 2), (std::vector<int>{4, 4, 4, 4, 4}));
    // The run stopped walking the table.
    EXPECT_TRUE(Changing(To(log, 0, 5)).empty());
    EXPECT_EQ(Execs(To(log, 0, 5), 0x00).size(), 1u);
}

TEST(FailedTransfer, FailedClosingPieceIsAnError) {
    Sandbox box;
    box.SetBus(Drive(0, 2, kG567L, "1.00") + "fail 0 2 0x3B 64\n");
    std::string file = box.WriteFile("qvg567l.bin", Image(13, "1.10"));
    Result r = box.Run({file, "-id:2"}, "y\n");
    // The drive did not say that it refused the piece that saves.
    EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-G567L loaded\n" + kWarning +
                         "Current firmware version: 1.00\n"
                         "Upgrade QV-G567L (HA:0 ID:2) in progress...Done\n"
                         "New firmware version    : 1.00\n"
                         "Error upgrading drive\n" +
                         kPartlyWritten);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ZeroTimes(r.err), Yes("QV-G567L", 0, 2, "1.00", "1.10") +
                                    FaultReport("write_buffer", "3B 05 00 07 E0 00 00 20 00 00"));
    std::vector<int> modes = WriteBufferModes(box.Log(), 0, 2);
    ASSERT_EQ(modes.size(), 64u);
    EXPECT_EQ(modes.back(), 5);
}

TEST(FailedTransfer, LoaderModeWriteStopsWithoutTheClosingBlock) {
    Sandbox box;
    box.SetBus(Drive(0, 3, kLoader, "1.02") + "fail 0 3 0xE2 3\n");
    std::string file = box.WriteFile("g253k106.bin", Image(11, "1.06"));
    Result r = box.Run({file, "-all"}, "y\n");
    EXPECT_EQ(r.status, 1);
    // The identity area lies in the first block, which did go through.
    EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-G253K loaded\n" + kWarning +
                         "Current firmware version: 1.02\n"
                         "Upgrade QV-G253K (HA:0 ID:3) in progress...Done\n"
                         "New firmware version: 1.06\n"
                         "Error upgrading drive\n" +
                         kPartlyWritten);
    EXPECT_EQ(ZeroTimes(r.err), Yes("QV-G253K", 0, 3, "1.02", "1.06") +
                                    FaultReport("write_rom", "E2 01 00 01 00 00 00 00 80 00 00 00"));
    EXPECT_EQ(Execs(box.Log(), 0xE1).size(), 1u);
    EXPECT_EQ(WriteRomControls(box.Log()), (std::vector<int>{1, 1, 1}));
}

TEST(FailedTransfer, PartlyWrittenUnlessTheDriveRefusedEveryChange) {
    // A changing command fails with sense bytes that begin as given.
    struct Row {
        bool loader;
        const char* command;
        const char* sense;
        bool blank;  // an earlier run left the flash erased
        bool warned;
    } rows[] = {
        {false, "0x3B 64", "70 00 05", false, false},  // the saving piece: ILLEGAL REQUEST
        {false, "0x3B 64", "70 00 02", false, false},  // NOT READY
        {false, "0x3B 64", "71 00 05", false, true},   // deferred: of another command
        {true, "0xE1 1", "70 00 05", false, false},   {true, "0xE1 1", "70 00 05", true, true},
        {true, "0xE2 2", "70 00 05", false, true},  // after the erase
    };
    const std::string blank =
        "qvupdate: the drive's flash reads as blank: an earlier upgrade did not complete\n";
    for (const Row& row : rows) {
        Sandbox box;
        const std::string drive = Drive(0, 3, row.loader ? kLoader : kG567L, "1.02");
        std::string file = box.WriteFile("fw.bin", Image(row.loader ? 11 : 13, "1.10"));
        if (row.blank) box.SetBus(drive + "fail 0 3 0xE2 1\n"), box.Run({file, "-all"}, "y\n");
        box.SetBus(drive + "fail 0 3 " + row.command + " sense=" + row.sense +
                   " 00 00 00 00 0A 00 00 00 00 24 00\n");
        Result r = box.Run({file, "-all"}, "y\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(
            r.out.ends_with(std::string("Error upgrading drive\n") + (row.warned ? kPartlyWritten : "")))
            << row.command << " " << row.sense << "\n"
            << r.out;
        EXPECT_EQ(r.err.find(blank) != std::string::npos, row.blank) << r.err;
    }
}

TEST(ShortImage, RefusedBeforeAnyDriveIsWritten) {
    // A type 18 checksum ends at 384 KiB; its transfer sends 512 KiB.
    Sandbox box;
    box.SetBus(Drive(0, 2, kH7763L, "1.00"));
    for (long length : {0x60000L, 0x7FFFFL}) {
        box.ClearLog();
        std::string file = box.WriteFile("qvh7763l.bin", Image(18, "1.10", length));
        Result r = box.Run({file, "-all"}, "y\n");
        EXPECT_EQ(r.out, std::string(kBanner) + "Invalid upgrade file (too short)\n");
        // The reason beside it.
        EXPECT_EQ(r.err, "qvupdate: " + file + " is " + std::to_string(length) +
                             " bytes, the transfer needs 524288 (qvimage info " + file + " tells more)\n");
        EXPECT_EQ(r.status, 1);
        // Nothing but the scan reached the drive.
        std::vector<int> opcodes;
        for (const LogEntry& e : To(box.Log(), 0, 2)) opcodes.push_back(e.cdb[0]);
        EXPECT_EQ(opcodes, (std::vector<int>{0x00, 0x12}));
    }
}

TEST(VersionText, EmptyWhenTheDriveDoesNotAnswer) {
    // INQUIRYs to the drive: the scan, the identification in upgrade and
    // again after the answer, the version before, the identification before
    // the first write, the version after; after the upgrade the drive is
    // asked quietly and again, since it may be restarting.
    Sandbox box;
    box.SetBus(Drive(0, 2, kG567L, "1.00") + "fail 0 2 0x12 4\nfail 0 2 0x12 6\n");
    std::string file = box.WriteFile("qvg567l.bin", Image(13, "1.10"));
    Result r = box.Run({file, "-id:2"}, "y\n");
    EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-G567L loaded\n" + kWarning +
                         "Current firmware version: \n"
                         "Upgrade QV-G567L (HA:0 ID:2) in progress...Done\n"
                         "New firmware version    : 1.10\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ZeroTimes(r.err),
              Yes("QV-G567L", 0, 2, "1.00", "1.10") + FaultReport("inquiry", "12 00 00 00 38 00"));
    EXPECT_EQ(WriteBufferModes(box.Log(), 0, 2).size(), 64u);
}

TEST(VersionText, EmptyWhenTheFlashCannotBeRead) {
    Sandbox box;
    // Reads: the version, the last block, the eight blocks after the write,
    // the version.
    box.SetBus(Drive(0, 3, kLoader, "1.02") + "fail 0 3 0xE3 1\nfail 0 3 0xE3 11\n");
    std::string file = box.WriteFile("g253k106.bin", Image(11, "1.06"));
    Result r = box.Run({file, "-all"}, "y\n");
    EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-G253K loaded\n" + kWarning +
                         "Current firmware version: \n"
                         "Upgrade QV-G253K (HA:0 ID:3) in progress...Done\n"
                         "New firmware version: 1.06\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ZeroTimes(r.err), Yes("QV-G253K", 0, 3, "1.02", "1.06") +
                                    FaultReport("read_rom", "E3 00 00 10 01 80 00 00 00 20 00 00"));
    EXPECT_EQ(WriteRomControls(box.Log()), (std::vector<int>{1, 1, 1, 1, 1, 1, 1, 0}));
}

}  // namespace
}  // namespace e2e
