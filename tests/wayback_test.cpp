// The way back for a loader-mode drive, whose flash can be read: a backup
// before the erase, flashed back later, and a flash an earlier run cut
// short called so.
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace e2e {
namespace {

const char kLoader[] = "*Loader Mode 1* ";

std::string Said(const std::string& what) { return "qvupdate: " + what + "\n"; }

TEST(Backup, HoldsTheFlashWholeAndFlashesBack) {
    Sandbox box;
    box.SetBus(Drive(0, 3, kLoader, "1.02") + Drive(0, 5, kLoader, "1.03"));
    const std::string file = box.WriteFile("fw.bin", Image(11, "1.06"));
    const std::string saved = box.Path("saved.bin"), other = saved + ".0-5";

    // A dry run reads and writes only: the way to take a backup alone.
    Result r = box.Run({file, "-all", "--dry-run", "--backup", saved});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(Said("the flash of the drive at HA:0 ID:5 is saved in " + other)),
              std::string::npos);
    EXPECT_EQ(box.ReadFile("saved.bin"), Image(11, "1.02"));
    EXPECT_EQ(box.ReadFile("saved.bin.0-5"), Image(11, "1.03"));
    EXPECT_TRUE(Changing(box.Log()).empty());
    EXPECT_EQ(box.Qvimage({"info", saved}).status, 0);

    // A backup never replaces a file: the second run refuses before the erase.
    r = box.Run({file, "dev=0,3,0", "--backup", saved}, "y\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(Said("cannot write the backup " + saved +
                              ": it exists; a backup never replaces a file; nothing erased")),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(Changing(box.Log()).empty());

    r = box.Run({file, "dev=0,3,0"}, "y\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(State(box, 0, 3).flash, Image(11, "1.06"));
    r = box.Run({saved, "dev=0,3,0"}, "y\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(State(box, 0, 3).flash, Image(11, "1.02"));
}

TEST(Backup, NoEraseUnlessTheBackupIsWhole) {
    Sandbox box;
    const std::string file = box.WriteFile("fw.bin", Image(11, "1.06")), saved = box.Path("saved.bin");
    // Flash reads: the version, the last block, then the backup's eight,
    // each failed or cut short.
    for (int row = 0; row < 16; row++) {
        const int read = 3 + row % 8;
        SCOPED_TRACE(row);
        box.ClearLog();
        box.SetBus(Drive(0, 3, kLoader, "1.02") + (row < 8 ? "fail" : "short") + " 0 3 0xE3 " +
                   std::to_string(read) + (row < 8 ? "\n" : " 100\n"));
        Result r = box.Run({file, "-all", "--backup", saved}, "y\n");
        EXPECT_EQ(r.status, 1);
        char offset[16];
        std::snprintf(offset, sizeof offset, "0x%X", (read - 3) * 0x8000);
        EXPECT_NE(
            r.err.find(Said(std::string("drive HA:0 ID:3: the flash could not be read whole at offset ") +
                            offset + " for the backup; nothing erased")),
            std::string::npos)
            << r.err;
        EXPECT_TRUE(Changing(box.Log()).empty());
        EXPECT_NE(access(saved.c_str(), F_OK), 0);
    }
    // A drive of WRITE BUFFER has no read command: refused before anything.
    box.ClearLog();
    box.SetBus(Drive(0, 2, "CD-R   QV-G567L ", "1.00"));
    Result r = box.Run({box.WriteFile("g567l.bin", Image(13, "1.10")), "-all", "--backup", saved}, "y\n");
    EXPECT_EQ(r.out + r.err, std::string(kBanner) + QvupdatePath() +
                                 ": the QV-G567L cannot be read back; no backup is possible\n");
    EXPECT_TRUE(box.Log().empty());
}

TEST(Flash, CutShortIsCalledSoInTheNextRun) {
    const std::string blank = Said("the drive's flash reads as blank: an earlier upgrade did not complete"),
                      incomplete =
                          Said("the drive's flash is incomplete: an earlier upgrade did not complete");
    for (int written = 0; written < 8; written++) {
        SCOPED_TRACE(written);
        Sandbox box;
        const std::string file = box.WriteFile("fw.bin", Image(11, "1.06"));
        box.SetBus(Drive(0, 3, kLoader, "1.02") + "fail 0 3 0xE2 " + std::to_string(written + 1) + "\n");
        ASSERT_EQ(box.Run({file, "-all"}, "y\n").status, 1);
        box.SetBus(Drive(0, 3, kLoader, "1.02"));
        Result r = box.Run({file, "-all", "--dry-run"});
        EXPECT_EQ(r.err.find(written == 0 ? blank : incomplete), 0u) << r.err;
    }
}

}  // namespace
}  // namespace e2e
