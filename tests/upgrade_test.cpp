// Upgrades end to end: what the user sees, what goes over the bus, and what
// the drive holds afterwards.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace e2e {
namespace {

const char kLoader[] = "*Loader Mode 1* ";
const char kG253K[] = "CD-R   QV-G253K ";
const char kG567L[] = "CD-R   QV-G567L ";
const char kB8NB[] = "CD-ROM QV-B8NB  ";

long Be(const Bytes& cdb, int from, int n) {
    long v = 0;
    for (int i = 0; i < n; i++) v = v * 256 + cdb[from + i];
    return v;
}

// Every WRITE BUFFER to (ha, target) in order: 8192 bytes each, mode 4 at
// offset p x 8192 but the last, mode 5 at the next offset, and the data of
// each equal to the image at that offset.
void ExpectWriteBufferDownload(const std::vector<LogEntry>& log, int ha, int target, const Bytes& image,
                               int pieces) {
    std::vector<LogEntry> wb;
    for (const LogEntry& e : Execs(log, 0x3B))
        if (e.ha == ha && e.target == target) wb.push_back(e);
    ASSERT_EQ(wb.size(), static_cast<std::size_t>(pieces));
    for (int p = 0; p < pieces; p++) {
        const LogEntry& e = wb[p];
        SCOPED_TRACE(e.line);
        ASSERT_EQ(e.cdb.size(), 10u);
        EXPECT_EQ(e.cdb[1], p == pieces - 1 ? 5 : 4);
        EXPECT_EQ(e.cdb[2], 0);  // buffer id
        EXPECT_EQ(Be(e.cdb, 3, 3), p * 8192L);
        EXPECT_EQ(Be(e.cdb, 6, 3), 8192);
        EXPECT_EQ(e.len, 8192);
        ASSERT_TRUE(e.has_crc);
        EXPECT_EQ(e.crc, qvtest::crc32(image.data() + p * 8192, 8192));
    }
}

TEST(Upgrade, LoaderModeDriveIsProgrammedDirectly) {
    // The run of the overview: g253k106.bin -all with one drive held in its
    // loader mode.
    Sandbox box;
    box.SetBus(Drive(0, 3, kLoader, "1.02"));
    Bytes image = Image(11, "1.06");
    std::string file = box.WriteFile("g253k106.bin", image);

    Result r = box.Run({file, "-all"}, "y\n");
    EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-G253K loaded\n" + kWarning +
                         "Current firmware version: 1.02\n"
                         "Upgrade QV-G253K (HA:0 ID:3) in progress...Done\n"
                         "New firmware version: 1.06\n");
    EXPECT_EQ(r.err, Yes("QV-G253K", 0, 3, "1.02", "1.06"));
    EXPECT_EQ(r.status, 0);

    // After the medium check: read the identity area and the last block,
    // erase once, eight blocks with control 1 but the last, read the eight
    // blocks back, read the identity area again.
    std::vector<LogEntry> log = box.Log();
    std::vector<int> opcodes;
    for (const LogEntry& e : log)
        if (e.kind == "exec" && e.ha == 0 && e.target == 3 && e.cdb[0] >= 0xE1) opcodes.push_back(e.cdb[0]);
    std::vector<int> expected = {0xE3, 0xE3, 0xE1};
    expected.insert(expected.end(), 8, 0xE2);
    expected.insert(expected.end(), 9, 0xE3);
    EXPECT_EQ(opcodes, expected);
    std::vector<LogEntry> reads = Execs(log, 0xE3);
    ASSERT_EQ(reads.size(), 11u);
    EXPECT_EQ(reads[0].cdb, (Bytes{0xE3, 0, 0, 0x10, 0x01, 0x80, 0, 0, 0, 0x20, 0, 0}));
    for (int p = 0; p < 8; p++) EXPECT_EQ(Be(reads[2 + p].cdb, 2, 4), 0x100000 + p * 32768L);
    EXPECT_EQ(reads[1].cdb, reads[9].cdb);  // the last block
    EXPECT_EQ(reads[10].cdb, reads[0].cdb);
    EXPECT_EQ(Execs(log, 0xE1).at(0).cdb, (Bytes{0xE1, 0x04, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    std::vector<LogEntry> writes = Execs(log, 0xE2);
    ASSERT_EQ(writes.size(), 8u);
    for (int p = 0; p < 8; p++) {
        const LogEntry& e = writes[p];
        SCOPED_TRACE(e.line);
        EXPECT_EQ(e.cdb[1], p == 7 ? 0 : 1);
        EXPECT_EQ(Be(e.cdb, 2, 4), p * 32768L);
        EXPECT_EQ(Be(e.cdb, 6, 4), 32768);
        EXPECT_EQ(e.len, 32768);
        ASSERT_TRUE(e.has_crc);
        EXPECT_EQ(e.crc, qvtest::crc32(image.data() + p * 32768, 32768));
    }
}

TEST(Upgrade, WriteBufferDownloadOfAFullImage) {
    Sandbox box;
    box.SetBus(Drive(0, 2, kG567L, "1.00"));
    Bytes image = Image(13, "1.10");
    std::string file = box.WriteFile("qvg567l.bin", image);

    Result r = box.Run({file, "-id:2"}, "y\n");
    EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-G567L loaded\n" + kWarning +
                         "Current firmware version: 1.00\n"
                         "Upgrade QV-G567L (HA:0 ID:2) in progress...Done\n"
                         "New firmware version    : 1.10\n");
    EXPECT_EQ(r.err, Yes("QV-G567L", 0, 2, "1.00", "1.10"));
    EXPECT_EQ(r.status, 0);
    ExpectWriteBufferDownload(box.Log(), 0, 2, image, 64);

    // The drive keeps the new firmware for the next run.
    r = box.Run({"-l"});
    EXPECT_EQ(r.out, std::string(kBanner) + "DRAVLIN CD-R   QV-G567L  V1.10 (HA:0 ID:2)\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Upgrade, TheWaitForARestartFollowsTheSimulatorsTimeScale) {
    // At the sandbox's 0.01 a restart of 20 s takes 0.2 s, the wait of 30 s
    // 0.3 s: the first is waited for, the second outlasts the wait.
    for (const auto& [seconds, status] : {std::pair{20, 0}, {40, 1}}) {
        Sandbox box;
        box.SetBus(Drive(0, 2, kG567L, "1.00") + "restart 0 2 " + std::to_string(seconds) + "\n");
        Result r = box.Run({box.WriteFile("fw.bin", Image(13, "1.10")), "-all"}, "y\n");
        EXPECT_EQ(r.status, status) << r.err;
        EXPECT_EQ(r.err.find("the drive did not answer for 30 s") != std::string::npos, status == 1) << r.err;
    }
}

TEST(Upgrade, WarningOnceForTwoDrivesAndTargetIgnoredWithAll) {
    Sandbox box;
    box.SetBus("adapters 2\n" + Drive(0, 2, kG567L, "1.00") + Drive(1, 3, kG567L, "1.01"));
    Bytes image = Image(13, "1.10");
    std::string file = box.WriteFile("qvg567l.bin", image);

    Result r = box.Run({file, "-id:5", "-all"}, "y\n");
    EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-G567L loaded\n" + kWarning +
                         "Current firmware version: 1.00\n"
                         "Upgrade QV-G567L (HA:0 ID:2) in progress...Done\n"
                         "New firmware version    : 1.10\n"
                         "Current firmware version: 1.01\n"
                         "Upgrade QV-G567L (HA:1 ID:3) in progress...Done\n"
                         "New firmware version    : 1.10\n");
    EXPECT_EQ(r.err, Yes("QV-G567L", 0, 2, "1.00", "1.10"));
    EXPECT_EQ(r.status, 0);
    std::vector<LogEntry> log = box.Log();
    ExpectWriteBufferDownload(log, 0, 2, image, 64);
    ExpectWriteBufferDownload(log, 1, 3, image, 64);
    // Target 5 was only probed by the scan, never identified for an upgrade.
    for (int ha : {0, 1})
        for (const LogEntry& e : Execs(To(log, ha, 5), 0x12)) EXPECT_EQ(e.len, 36) << e.line;
}

TEST(Upgrade, AnswerAllUpgradesEveryFurtherDriveWithSixteenPieces) {
    Sandbox box;
    box.SetBus(Drive(0, 1, kB8NB, "1.04") + Drive(0, 3, kB8NB, "1.05"));
    Bytes image = Image(12, "1.06");
    std::string file = box.WriteFile("qvb8nb.bin", image);

    Result r = box.Run({file}, "a\ny\n");
    EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-B8NB loaded\n" +
                         "Upgrade Dravlin drive at HA:0 ID:1? (y/n/a)  a\n" + kWarning +
                         "Current firmware version: 1.04\n"
                         "Upgrade QV-B8NB (HA:0 ID:1) in progress...Done\n"
                         "New firmware version    : 1.06\n"
                         "Upgrade Dravlin drive at HA:0 ID:3? (y/n/a)  a\n"
                         "Current firmware version: 1.05\n"
                         "Upgrade QV-B8NB (HA:0 ID:3) in progress...Done\n"
                         "New firmware version    : 1.06\n");
    // Asked for the first drive, and again at the confirmation.
    EXPECT_EQ(r.err, Yes("QV-B8NB", 0, 1, "1.04", "1.06") + Yes("QV-B8NB", 0, 1, "1.04", "1.06"));
    EXPECT_EQ(r.status, 0);
    std::vector<LogEntry> log = box.Log();
    ExpectWriteBufferDownload(log, 0, 1, image, 16);
    ExpectWriteBufferDownload(log, 0, 3, image, 16);
}

TEST(Upgrade, ConfirmationSkipsNewlinesAndAsksAgainForOtherInput) {
    // A disc in the drive stops the run right after the confirmation, so
    // that what was read there shows without a transfer.
    Sandbox box;
    box.SetBus(Drive(0, 2, kG567L, "1.00", true));
    std::string file = box.WriteFile("qvg567l.bin", Image(13, "1.10"));
    const std::string head = std::string(kBanner) + "Upgrade file for QV-G567L loaded\n" + kWarning;
    const std::string medium = "Please remove medium from drive and try again.\n";

    Result r = box.Run({file, "-all"}, "Y\n");
    EXPECT_EQ(r.out, head + medium);
    EXPECT_EQ(r.status, 1);

    r = box.Run({file, "-all"}, "\n\nx\nY\n");
    EXPECT_EQ(r.out, head + "\nContinue? (y/n) " + medium);
    EXPECT_EQ(r.status, 1);

    r = box.Run({file, "-all"}, "xq\ny");
    EXPECT_EQ(r.out, head + "\nContinue? (y/n) \nContinue? (y/n) " + medium);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, Yes("QV-G567L", 0, 2, "1.00", "1.10"));
}

TEST(Upgrade, AnswerNoEndsTheRunBeforeTheDriveIsProbed) {
    Sandbox box;
    box.SetBus(Drive(0, 2, kG567L, "1.00"));
    std::string file = box.WriteFile("qvg567l.bin", Image(13, "1.10"));
    Result r = box.Run({file, "-all"}, "N\ny\n");
    EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-G567L loaded\n" + kWarning);
    EXPECT_EQ(r.err, Yes("QV-G567L", 0, 2, "1.00", "1.10"));
    EXPECT_EQ(r.status, 1);
    // The scan's TEST UNIT READY only; the medium check never started.
    EXPECT_EQ(Execs(To(box.Log(), 0, 2), 0x00).size(), 1u);
    EXPECT_TRUE(Changing(box.Log()).empty());
}

TEST(Upgrade, LoadedDiscStopsBeforeAnyChangingCommand) {
    Sandbox box;
    box.SetBus(Drive(0, 2, kG567L, "1.00", true));
    std::string file = box.WriteFile("qvg567l.bin", Image(13, "1.10"));
    Result r = box.Run({file, "-id:2"}, "y\n");
    EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-G567L loaded\n" + kWarning +
                         "Please remove medium from drive and try again.\n");
    EXPECT_EQ(r.err, Yes("QV-G567L", 0, 2, "1.00", "1.10"));  // the three tests are silent
    EXPECT_EQ(r.status, 1);

    std::vector<LogEntry> log = box.Log();
    // One test from the scan, three from the medium check, and nothing after.
    std::vector<LogEntry> tests = Execs(To(log, 0, 2), 0x00);
    ASSERT_EQ(tests.size(), 4u);
    EXPECT_EQ(log.back().line, tests.back().line);
    EXPECT_TRUE(Changing(log).empty());
    EXPECT_TRUE(Execs(log, 0xE3).empty());
}

TEST(Upgrade, AddressWithoutADriveOfTheImagesModel) {
    Sandbox box;
    box.SetBus(Drive(0, 1, kB8NB, "1.04") +
               "device 0 4 type=5 vendor=\"OTHERCO \" product=\"CDROM DRIVE 40X \" revision=\"2.00\"\n");
    std::string g567l = box.WriteFile("qvg567l.bin", Image(13, "1.10"));
    std::string xxnb = box.WriteFile("qvb8nb.bin", Image(17, "1.10"));
    const std::string head = std::string(kBanner) + "Upgrade file for QV-G567L loaded\n" + kWarning;

    struct Case {
        std::vector<std::string> args;
        std::string out, err;
    } cases[] = {
        {{g567l, "-id:4"},
         head + "No QV-G567L found at HA:0 ID:4\n",
         HoldsNo("QV-G567L", 0, 4)},  // another maker
        {{g567l, "-id:6"},
         head + "No QV-G567L found at HA:0 ID:6\n",
         HoldsNo("QV-G567L", 0, 6)},  // nothing there
        {{g567l, "-id:1"},
         head + "No QV-G567L found at HA:0 ID:1\n",
         HoldsNo("QV-G567L", 0, 1)},  // another model
        {{g567l, "-ha:3", "-id:1"},
         head + "No QV-G567L found at HA:3 ID:1\n",
         HoldsNo("QV-G567L", 3, 1)},  // no adapter
        // A drive of revision 1.04 is type 12, not 17; the message names
        // row 17 while the announcement names the QV-B8NB.
        {{xxnb, "-id:1"},
         std::string(kBanner) + "Upgrade file for QV-B8NB loaded\n" + kWarning +
             "No QV-xxNB found at HA:0 ID:1\n",
         HoldsNo("QV-xxNB", 0, 1)},
    };
    for (const Case& c : cases) {
        box.ClearLog();
        Result r = box.Run(c.args, "y\n");
        EXPECT_EQ(r.out, c.out) << c.args[1];
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 1);
        // Nothing follows the identification of the addressed drive: no
        // medium check, no transfer.
        std::vector<LogEntry> log = box.Log();
        std::vector<LogEntry> inquiries = Execs(log, 0x12);
        ASSERT_FALSE(inquiries.empty());
        EXPECT_EQ(log.back().line, inquiries.back().line);
    }
}

TEST(Upgrade, NormalModeDriveAtTheAddressGetsTheJumperNotice) {
    Sandbox box;
    box.SetBus(Drive(0, 3, kG253K, "1.02"));
    std::string file = box.WriteFile("g253k106.bin", Image(11, "1.06"));
    Result r = box.Run({file, "-id:3"}, "y\n");
    EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-G253K loaded\n" + kWarning + JumperNotice());
    EXPECT_EQ(r.err, HoldsNo("QV-G253K", 0, 3));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Changing(box.Log()).empty());
}

}  // namespace
}  // namespace e2e
