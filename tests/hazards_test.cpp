// What can change under a run besides a failing command: the input ends at
// any prompt, the image file changes or goes away after its check, a disc
// turns up at the last medium test.
#include <unistd.h>

#include <functional>
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
    const std::string yes2 = Yes("QV-G567L", 0, 2, "1.00", "1.10"),
                      yes3 = Yes("QV-G567L", 0, 3, "1.00", "1.10");
    struct Case {
        std::vector<std::string> args;
        std::string input, out, err;
    } cases[] = {
        {{file},
         "y\n",
         head + "Upgrade Dravlin drive at HA:0 ID:2? (y/n/a)  y\n" + kWarning + "\n",
         yes2 + yes2},
        {{file},
         "A",
         head + "Upgrade Dravlin drive at HA:0 ID:2? (y/n/a)  a\n" + kWarning + "\n",
         yes2 + yes2},
        {{file},
         "n\n",
         head +
             "Upgrade Dravlin drive at HA:0 ID:2? (y/n/a)  n\nUpgrade Dravlin drive at HA:0 ID:3? (y/n/a) \n",
         yes2 + yes3},
        {{file, "-id:3"}, "\n", head + kWarning + "\n", yes3},
        // The open traces the address it was given.
        {{file, "dev=0,3,0"},
         "",
         head + kWarning + "\n",
         "scsidev: '0,3,0'\nscsibus: 0 target: 3 lun: 0\n" + yes3},
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

TEST(ChangedImage, DriveGetsExactlyTheCheckedBytes) {
    // The file is replaced by another image, cut or removed while the
    // confirmation waits, or cut once the transfer runs (slow commands): the
    // run was done with the file when it checked it, so every piece is the
    // checked image's.
    struct Procedure {
        int type;
        const char* product;
        int target, opcode, piece_size;
        std::string done;
    } procedures[] = {
        {12, kB8NB, 1, 0x3B, 8192,
         "Current firmware version: 1.02\nUpgrade QV-B8NB (HA:0 ID:1) in progress...Done\n"
         "New firmware version    : 1.06\n"},
        {11, kLoader, 3, 0xE2, 32768,
         "Current firmware version: 1.02\nUpgrade QV-G253K (HA:0 ID:3) in progress...Done\n"
         "New firmware version: 1.06\n"},
    };
    struct Change {
        const char* what;
        const char* wait_for;
        std::function<void(Sandbox&, const std::string&)> act;
    } changes[] = {
        {"replaced", "Continue? (y/n) ",
         [](Sandbox& box, const std::string&) { box.WriteFile("fw.bin", Image(14, "1.10")); }},
        {"truncated", "Continue? (y/n) ",
         [](Sandbox&, const std::string& f) { ASSERT_EQ(truncate(f.c_str(), 3 * 8192 + 5), 0); }},
        {"removed", "Continue? (y/n) ",
         [](Sandbox&, const std::string& f) { ASSERT_EQ(unlink(f.c_str()), 0); }},
        {"cut in the transfer", "in progress...",
         [](Sandbox&, const std::string& f) { ASSERT_EQ(truncate(f.c_str(), 5 * 8192 + 17), 0); }},
    };
    for (const Procedure& p : procedures) {
        for (const Change& c : changes) {
            SCOPED_TRACE(std::to_string(p.type) + " " + c.what);
            Sandbox box;
            box.SetBus("latency 20\n" + Drive(0, p.target, p.product, "1.02"));
            const Bytes image = Image(p.type, "1.06");
            const std::string file = box.WriteFile("fw.bin", image);
            const bool early = std::string(c.wait_for) != "in progress...";
            Result r = box.RunAfter(
                {file, "-all"}, c.wait_for, [&] { c.act(box, file); }, early ? "y\n" : "",
                early ? "" : "y\n");
            EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for " +
                                 (p.type == 11 ? "QV-G253K" : "QV-B8NB") + " loaded\n" + kWarning + p.done);
            EXPECT_EQ(r.status, 0);
            std::vector<LogEntry> pieces = Execs(box.Log(), p.opcode);
            ASSERT_EQ(pieces.size() * static_cast<std::size_t>(p.piece_size), image.size());
            for (std::size_t n = 0; n < pieces.size(); n++)
                EXPECT_EQ(pieces[n].crc, qvtest::crc32(image.data() + n * p.piece_size, p.piece_size)) << n;
            EXPECT_EQ(State(box, 0, p.target).flash, image);
        }
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
        {"medium changed at the third", "fail 0 3 0x00 4 sense=70 00 06 00 00 00 00 0A 00 00 00 00 28 00\n",
         false},
        {"becoming ready at the third", "fail 0 3 0x00 4 sense=70 00 02 00 00 00 00 0A 00 00 00 00 04 01\n",
         false},
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
        EXPECT_EQ(r.err, Yes("QV-G253K", 0, 3, "1.02", "1.06"));
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
