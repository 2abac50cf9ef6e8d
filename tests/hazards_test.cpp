// What can change under a run besides a failing command: the input ends at
// any prompt, the image file shrinks or goes away between its check and its
// transfer, a disc turns up at the last medium test.
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace e2e {
namespace {

const char kLoader[] = "*Loader Mode 1* ";
const char kG567L[] = "CD-R   QV-G567L ";
const char kB8NB[] = "CD-ROM QV-B8NB  ";

int CountOf(const std::vector<int>& ops, int opcode) {
    int n = 0;
    for (int op : ops) n += op == opcode;
    return n;
}

TEST(EndOfInput, AtEveryPromptNoDriveIsTouched) {
    // The prompts tests/decisions_test.cpp does not reach: the confirmation
    // after each answer of the interactive loop and in the single-target
    // modes, and the second drive's prompt after a "no".
    Sandbox box;
    box.SetBus(Drive(0, 2, kG567L, "1.00") + Drive(0, 3, kG567L, "1.00"));
    std::string file = box.WriteFile("qvg567l.bin", Image(13, "1.10"));
    const std::string head = std::string(kBanner) + "Upgrade file for QV-G567L loaded\n";
    struct Case {
        std::vector<std::string> args;
        std::string input, out, err;
    } cases[] = {
        {{file}, "y\n", head + "Upgrade Dravlin drive at HA:0 ID:2? (y/n/a)  y\n" + kWarning + "\n", ""},
        {{file}, "A", head + "Upgrade Dravlin drive at HA:0 ID:2? (y/n/a)  a\n" + kWarning + "\n", ""},
        {{file}, "n\n",
         head + "Upgrade Dravlin drive at HA:0 ID:2? (y/n/a)  n\nUpgrade Dravlin drive at HA:0 ID:3? (y/n/a) \n",
         ""},
        {{file, "-id:3"}, "\n", head + kWarning + "\n", ""},
        // The open traces the address it was given.
        {{file, "dev=0,3,0"}, "", head + kWarning + "\n", "scsidev: '0,3,0'\nscsibus: 0 target: 3 lun: 0\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back() + " input \"" + c.input + "\"");
        box.ClearLog();
        Result r = box.Run(c.args, c.input);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 1);
        EXPECT_FALSE(r.timed_out);
        // Nothing after the identification: no medium test, no transfer.
        for (int target : {2, 3}) {
            std::vector<int> ops = Opcodes(To(box.Log(), 0, target));
            if (!ops.empty()) {
                EXPECT_EQ(ops.back(), 0x12) << target;
            }
            EXPECT_LE(CountOf(ops, 0x00), 1) << target;
        }
        EXPECT_TRUE(Changing(box.Log()).empty());
    }
}

TEST(ChangedImage, LoaderFlashIsNotErasedForAFileThatShrank) {
    // The image passes its checks, then loses its tail while the run waits
    // for "y". The loader mode erases before it programs, so it must find
    // that out before the erase.
    Sandbox box;
    box.SetBus(Drive(0, 3, kLoader, "1.02"));
    std::string file = box.WriteFile("g253k106.bin", Image(11, "1.06"));
    Result r = box.RunAfter(
        {file, "-all"}, "Continue? (y/n) ", [&] { ASSERT_EQ(truncate(file.c_str(), 3 * 32768), 0); }, "y\n");
    EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-G253K loaded\n" + kWarning +
                         "Current firmware version: 1.02\n"
                         "Upgrade QV-G253K (HA:0 ID:3) in progress...Done\n"
                         "New firmware version: 1.02\n"
                         "Error upgrading drive\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Changing(box.Log()).empty());
    EXPECT_FALSE(State(box, 0, 3).saved);
}

TEST(ChangedImage, DownloadWithoutItsClosingPieceChangesNothing) {
    // Cut to nothing, to the end of the last full piece before the closing
    // one, and one byte short of the closing piece.
    struct Case {
        long length;
        int pieces;  // mode 4 pieces sent
    } cases[] = {{0, 0}, {15 * 8192, 15}, {16 * 8192 - 1, 15}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        Sandbox box;
        box.SetBus(Drive(0, 1, kB8NB, "1.04"));
        std::string file = box.WriteFile("qvb8nb.bin", Image(12, "1.06"));
        Result r = box.RunAfter(
            {file, "-id:1"}, "Continue? (y/n) ", [&] { ASSERT_EQ(truncate(file.c_str(), c.length), 0); },
            "y\n");
        EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-B8NB loaded\n" + kWarning +
                             "Current firmware version: 1.04\n"
                             "Upgrade QV-B8NB (HA:0 ID:1) in progress...Done\n"
                             "New firmware version    : 1.04\n"
                             "Error upgrading drive\n");
        EXPECT_EQ(r.status, 1);
        std::vector<LogEntry> wb = Execs(box.Log(), 0x3B);
        ASSERT_EQ(wb.size(), static_cast<std::size_t>(c.pieces));
        for (const LogEntry& e : wb) EXPECT_EQ(e.cdb[1], 4) << e.line;
        EXPECT_FALSE(State(box, 0, 1).saved);
    }
}

TEST(ChangedImage, FileGoneBeforeTheTransfer) {
    Sandbox box;
    box.SetBus(Drive(0, 3, kLoader, "1.02"));
    std::string file = box.WriteFile("g253k106.bin", Image(11, "1.06"));
    Result r = box.RunAfter({file, "-id:3"}, "Continue? (y/n) ",
                            [&] { ASSERT_EQ(unlink(file.c_str()), 0); }, "y\n");
    EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-G253K loaded\n" + kWarning + "\aUnable to open file " +
                         file + "\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Opcodes(To(box.Log(), 0, 3)).back(), 0x12);
    EXPECT_FALSE(State(box, 0, 3).saved);
}

TEST(ChangedImage, FileCutDuringTheTransferIsAllOrNothing) {
    // Slow commands, and the file cut once the transfer has begun: wherever
    // the cut lands, the drive ends with its old firmware or the whole new
    // one, and the run says which.
    for (int type : {11, 13}) {
        SCOPED_TRACE(type);
        Sandbox box;
        box.SetBus("latency 20\n" + Drive(0, 3, type == 11 ? kLoader : kG567L, "1.02"));
        Bytes image = Image(type, "1.10");
        std::string file = box.WriteFile("fw.bin", image);
        Result r = box.RunAfter(
            {file, "-all"}, "in progress...", [&] { ASSERT_EQ(truncate(file.c_str(), 5 * 8192 + 17), 0); }, "",
            "y\n");
        ASSERT_FALSE(r.timed_out);
        DriveState state = State(box, 0, 3);
        const bool whole = state.saved && state.flash == image;
        const bool error = r.out.size() > 22 && r.out.substr(r.out.size() - 22) == "Error upgrading drive\n";
        EXPECT_NE(whole, error) << r.out;
        EXPECT_EQ(r.status, error ? 1 : 0);
        if (!whole) {
            EXPECT_FALSE(state.saved);
        }
        // The closing piece goes only with a whole image.
        int closing = 0;
        for (const LogEntry& e : Execs(box.Log(), type == 11 ? 0xE2 : 0x3B))
            closing += e.cdb[1] == (type == 11 ? 0 : 5);
        EXPECT_EQ(closing, whole ? 1 : 0);
    }
}

TEST(MediumTest, OnlyTheThirdAnswerCounts) {
    // Loader-mode drives, so that the runs that go on need no wait. The
    // scan sends the first TEST UNIT READY; the medium tests are the
    // second to the fourth.
    const std::string refused = "Please remove medium from drive and try again.\n";
    struct Case {
        const char* what;
        std::string faults;
        bool goes_on;
    } cases[] = {
        {"ready at the third", "fail 0 3 0x00 4 status=0x01 targstat=0x00\n", false},
        {"medium changed at the third", "fail 0 3 0x00 4 sense=70 00 06 00 00 00 00 0A 00 00 00 00 28 00\n", false},
        {"becoming ready at the third", "fail 0 3 0x00 4 sense=70 00 02 00 00 00 00 0A 00 00 00 00 04 01\n", false},
        {"ready at the first two only",
         "fail 0 3 0x00 2 status=0x01 targstat=0x00\nfail 0 3 0x00 3 status=0x01 targstat=0x00\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Sandbox box;
        box.SetBus(Drive(0, 3, kLoader, "1.02") + c.faults);
        std::string file = box.WriteFile("g253k106.bin", Image(11, "1.06"));
        Result r = box.Run({file, "-id:3"}, "y\n");
        const std::string head = std::string(kBanner) + "Upgrade file for QV-G253K loaded\n" + kWarning;
        std::vector<int> ops = Opcodes(To(box.Log(), 0, 3));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(CountOf(ops, 0x00), 4);
        if (c.goes_on) {
            EXPECT_EQ(r.out, head +
                                 "Current firmware version: 1.02\n"
                                 "Upgrade QV-G253K (HA:0 ID:3) in progress...Done\n"
                                 "New firmware version: 1.06\n");
            EXPECT_EQ(r.status, 0);
            EXPECT_TRUE(State(box, 0, 3).saved);
        } else {
            EXPECT_EQ(r.out, head + refused);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(ops.back(), 0x00);
            EXPECT_FALSE(State(box, 0, 3).saved);
        }
    }
}

}  // namespace
}  // namespace e2e
