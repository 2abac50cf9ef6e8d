// The upgrade of one drive in the test's process, over the simulator's drives
// behind the fake transport and a clock that moves only as the run sleeps:
// what the run decides after the transfer and when the drive changed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/runtexts.h"
#include "testing/simbus.h"
#include "tool/testing/tooltest.h"

namespace {

using qvtest::Drive;
using qvtest::Image;

const char kLoader[] = "*Loader Mode 1* ";
const char kG567L[] = "CD-R   QV-G567L ";
const std::string kAgain = "; run the upgrade again before you switch the drive off\n";
const std::string kUnanswered =
    "drive did not answer for 30 s after the upgrade; it may still be saving the firmware: wait, switch it "
    "off "
    "and on, then check it with -l\n";

class UpgradeTest : public qvtest::ToolTest {};

// After the transfer: confirmed (the drive shows the image, at once or
// after its restart), failed (it shows something else), unconfirmed (it
// never answered within the wait), each with its status.
TEST_F(UpgradeTest, TheDriveIsWaitedForAndJudgedByWhatItShows) {
    const struct Row {
        bool loader;
        std::string fault, version, err, tail;
        int status;
        int seconds;  // of the run's time after the transfer: the save's two, then the wait
    } rows[] = {
        {false, "", "1.10", "", "", 0, 2},
        {false, "restart 0 2 5\n", "1.10", "", "", 0, 5},
        {false, "restart 0 2 5 answer=old\n", "1.10", "", "", 0, 5},
        {false, "restart 0 2 5 answer=notready\n", "1.10", "", "", 0, 5},
        {false, "restart 0 2 40\n", "", kUnanswered, "", 1, 32},
        {false, "moveto 0 2 0 5\n", "", kUnanswered, "", 1, 32},
        {false, "restart 0 2 40 answer=old\n", "1.00",
         "firmware version reads \"1.00\" after the upgrade, the image holds \"1.10\"" + kAgain,
         "Error upgrading drive\n", 1, 32},
        // With status=0x01 a command "succeeds" without being carried out.
        {false, "fail 0 2 0x3B 64 status=0x01 targstat=0x00\n", "1.00",
         "firmware version reads \"1.00\" after the upgrade, the image holds \"1.10\"" + kAgain,
         "Error upgrading drive\n", 1, 32},
        // Another drive answers with the image's version.
        {false, "swap 0 2 75 vendor=\"OTHER   \" product=\"CD-ROM X        \"\n", "1.10",
         "drive identifies as \"OTHER   CD-ROM X        \" after the upgrade, not as \"DRAVLIN CD-R   "
         "QV-G567L \"" +
             kAgain,
         "Error upgrading drive\n", 1, 2},
        // Every block is read back: a block that was not programmed or not
        // as sent is found where it begins, whatever the identity area shows.
        {true, "ignore 0 2 0xE2 1\n", "????",
         "flash differs from the image at offset 0x0: it reads 0xFF, the image holds 0xD3\n",
         std::string("Error upgrading drive\n") + qvtest::kPartlyWritten, 1, 0},
        {true, "ignore 0 2 0xE2 8\n", "1.10",
         "flash differs from the image at offset 0x38000: it reads 0xFF, the image holds 0x",
         std::string("Error upgrading drive\n") + qvtest::kPartlyWritten, 1, 0},
        {true, "corrupt 0 2 0xE2 3 100\n", "1.10",
         "flash differs from the image at offset 0x10064: it reads 0x",
         std::string("Error upgrading drive\n") + qvtest::kPartlyWritten, 1, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        SetBus(Drive(0, 2, row.loader ? kLoader : kG567L, "1.00") + row.fault);
        const Clock::Duration start = clock.now();
        const qvtest::Ran r = Run({WriteImage(Image(row.loader ? 11 : 13, "1.10")), "-all"}, "y\n");
        const std::string version = row.loader ? "New firmware version: " : "New firmware version    : ";
        EXPECT_TRUE(r.out.ends_with(version + row.version + "\n" + row.tail)) << r.out;
        const std::string asked = std::string("qvupdate: y upgrades the ") +
                                  (row.loader ? "QV-G253K" : "QV-G567L") +
                                  " at HA:0 ID:2 from version 1.00 to 1.10\n";
        ASSERT_EQ(r.err.substr(0, asked.size()), asked);
        const std::string err = r.err.substr(asked.size());
        if (row.err.empty())
            EXPECT_EQ(err, "");
        else
            EXPECT_EQ(err.find("qvupdate: drive HA:0 ID:2: the " + row.err), 0u) << err;
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(clock.now() - start).count(), row.seconds);
    }
}

TEST_F(UpgradeTest, ADriveSwappedWhileTheQuestionWaitedIsNotWritten) {
    // Commands to the drive: the scan's two, the walk's and upgrade's
    // INQUIRY, then after the answer an INQUIRY, three tests, the version,
    // and an INQUIRY right before the first piece.
    for (int swapped_at : {5, 10}) {
        SCOPED_TRACE(swapped_at);
        SetBus(Drive(0, 2, kG567L, "1.00") + "swap 0 2 " + std::to_string(swapped_at) +
               " product=\"CD-R   QV-H3551L\"\n");
        const qvtest::Ran r = Run({WriteImage(Image(13, "1.10")), "-all"}, "y\n");
        EXPECT_EQ(r.err,
                  "qvupdate: y upgrades the QV-G567L at HA:0 ID:2 from version 1.00 to 1.10\n"
                  "qvupdate: drive HA:0 ID:2 changed while the question waited; nothing written\n");
        EXPECT_EQ(r.status, 1);
        const std::vector<int> sent = bus->opcodes(0, 2);
        EXPECT_EQ(std::count(sent.begin(), sent.end(), 0x3B), 0);
    }
}

}  // namespace
