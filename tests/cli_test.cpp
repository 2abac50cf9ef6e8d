// The command line and the modes of a run, end to end.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace e2e {
namespace {

const char kG253K[] = "CD-R   QV-G253K ";
const char kLoader[] = "*Loader Mode 1* ";
const char kG567L[] = "CD-R   QV-G567L ";
const char kB8NB[] = "CD-ROM QV-B8NB  ";
const char kNoDrives[] = "\aNo upgradable drives found\n";

// A diagnostic of the program, as main says it.
std::string Said(const std::string& what) { return QvupdatePath() + ": " + what + "\n"; }

TEST(Cli, UsageComesBeforeTheSessionIsOpened) {
    Sandbox box;
    std::string file = box.WriteFile("qvg567l.bin", Image(13, "1.10"));
    const std::string target = ": a target is a whole decimal number from -1 to 255";
    const std::string adapter = ": a host adapter is a whole decimal number from 0 to 255";
    const std::string address = ": an address is bus,target,lun or target,lun, each a whole decimal number";
    const std::string no_file = "no image file given (-l lists the drives without one)";
    // Each refusal names the argument and its rule, after the options that
    // are ignored, each named; -? asks for the usage and is told nothing.
    const std::pair<std::vector<std::string>, std::string> runs[] = {
        {{}, no_file},
        {{"-all"}, no_file},
        {{"-?", file}, ""},
        {{file, "/?"}, ""},
        {{file, "-all", "-l"}, "-all with -l: -l upgrades nothing"},  // -l would skip the image check
        {{"-list", "/all"}, "-all with -l: -l upgrades nothing"},
        {{file, "-id:4294967298"}, "-id:4294967298" + target},  // would wrap onto target 2
        {{file, "-ha:-4294967296", "-id:2"}, "-ha:-4294967296" + adapter},
        {{file, "/id:99999999999999999999"}, "/id:99999999999999999999" + target},
        {{file, "-ha:256", "-id:2"}, "-ha:256" + adapter},  // beyond what ASPI addresses
        {{file, "dev=,"}, "dev=," + address},               // no target
        {{"--dry-run"}, no_file},
        // Read as far as they are decimal, these would name targets 0, 2, 2
        // and adapter 0.
        {{file, "-id:0x2"}, "-id:0x2" + target},
        {{file, "-id:2x"}, "-id:2x" + target},
        {{file, "dev=0,0x2,0"}, "dev=0,0x2,0" + address},
        {{file, "-ha:0x1", "-id:2"}, "-ha:0x1" + adapter},
        {{"-l", "--backup", "flash.bin"}, "--backup with -l: -l upgrades nothing"},
        {{"-x", "-debugx", "-ha:1"}, no_file},
        {{file, "--dry-run", "--force", "--yes"}, "unknown option --force"},
        {{file, "--log"}, "--log needs a file name"},
        // The next option is never the file: --dry-run would be lost.
        {{file, "-all", "--log", "--dry-run"}, "--log needs a file name"},
        {{file, "--record=", "-all"}, "--record needs a file name"},
        // A long option with one dash would be ignored, or -log taken for -l.
        {{file, "-dry-run"}, "unknown option -dry-run: --dry-run begins with two dashes"},
        {{file, "-log=x"}, "unknown option -log=x: --log begins with two dashes"},
    };
    for (const auto& [args, refusal] : runs) {
        Result r = box.Run(args);
        EXPECT_EQ(r.out, std::string(kBanner) + kUsage) << testing::PrintToString(args);
        const std::string ignored =
            args.size() > 1 && args[0] == "-x"
                ? "qvupdate: ignoring unknown option -x\nqvupdate: ignoring unknown option -debugx\n"
                : "";
        EXPECT_EQ(r.err,
                  ignored + (refusal.empty() ? "" : Said(refusal) + "qvupdate --help lists every option\n"));
        EXPECT_EQ(r.status, 1);
    }
    EXPECT_TRUE(box.Log().empty());  // the ASPI layer was never asked
}

TEST(Cli, HelpListsTheManPagesOptionsAndVersionIsAsQvimages) {
    Sandbox box;
    Result r = box.Run({"--help"});
    EXPECT_EQ(r.out.find(kUsage), 0u);
    for (const char* o : {"dev=scsidev", "-ha:ha_id", "-id:target_id", "-all", "-l", "-?", "-debug",
                          "--dry-run", "--log FILE", "--help", "--version"})
        EXPECT_NE(r.out.find("\n  " + std::string(o) + " "), std::string::npos) << o;
    const std::string qvimage = box.Qvimage({"--version"}).out;
    EXPECT_EQ(box.Run({"--version"}).out, "qvupdate" + qvimage.substr(qvimage.find(' ')));
    EXPECT_TRUE(box.Log().empty());
}

TEST(Cli, LogOptionTakesTheLayersLogOrEndsTheRun) {
    Sandbox box;
    box.SetBus(Drive(0, 2, kG567L, "1.00"));
    EXPECT_EQ(box.Run({"-l", "--log=" + box.Path("mine")}).status, 0);
    const Bytes mine = box.ReadFile("mine");
    EXPECT_NE(
        std::string(mine.begin(), mine.end()).find("exec 0 2 0 flags=0x4C len=96 cdb=120000006000\ndone "),
        std::string::npos);
    Result r = box.Run({"-l", "--log", box.Path("none/log")});
    EXPECT_NE(r.err.find(Said("cannot write the command log to " + box.Path("none/log"))), std::string::npos);
    EXPECT_EQ(r.out + std::to_string(r.status), kBanner + std::string("1"));
    EXPECT_TRUE(Execs(box.Log(), 0x12).empty());  // the adapters alone were asked, as the layer was loaded

    // The image is read before the layer may write a log: its lines never
    // fill up an image that is too short, nor are they appended to it.
    // The checksum of a QV-H7763L image ends at 384 KiB, its transfer at 512.
    box.SetBus(Drive(0, 2, "CD-R   QV-H7763L", "1.00"));
    const std::string file = box.WriteFile("short.bin", Image(18, "1.10", 0x60000));
    r = box.Run({file, "-all", "--log", file}, "y\n");
    EXPECT_EQ(r.out + r.err, std::string(kBanner) +
                                 Said("cannot write the command log to " + file + ": it is the image file"));
    box.SetEnv("ASPISIM_LOG", file);
    r = box.Run({file, "-all"}, "y\n");
    EXPECT_EQ(r.out, std::string(kBanner) + "Invalid upgrade file (too short)\n");
    EXPECT_TRUE(Changing(box.Log()).empty());
}

// Every check up to the first command that changes a drive, for every drive
// of the model, without a question: what would be written is said.
TEST(Cli, DryRunChecksEveryDriveAndWritesNothing) {
    Sandbox box;
    std::string g567l = box.WriteFile("qvg567l.bin", Image(13, "1.10"));
    std::string g253k = box.WriteFile("g253k.bin", Image(11, "1.06"));
    const std::string two = Drive(0, 2, kG567L, "1.00", true) + Drive(0, 3, kG567L, "1.02");
    const std::string would = "qvupdate: would upgrade the QV-G567L at HA:0 ID:3 from version 1.02 to 1.10\n";
    const std::string loaded = std::string(kBanner) + "Upgrade file for QV-G567L loaded\n";
    const std::string medium = "Please remove medium from drive and try again.\n";
    const struct {
        std::string bus;
        std::vector<std::string> args;
        std::string out, err;
        int status;
    } runs[] = {
        {two, {g567l, "--dry-run"}, loaded + medium, would, 1},  // a disc does not stop the others
        {two, {g567l, "-all", "--dry-run"}, loaded + medium, would, 1},
        {two, {g567l, "-id:3", "--dry-run"}, loaded, would, 0},
        // The listing shows targets 8 to 15 too; -all says which it leaves out.
        {Drive(0, 3, kG567L, "1.02") + Drive(0, 9, kG567L, "1.00"),
         {g567l, "-all", "--dry-run"},
         loaded,
         would + "qvupdate: the scan of targets 0 to 7 leaves out DRAVLIN CD-R   QV-G567L  V1.00 (HA:0 "
                 "ID:9); -ha:0 "
                 "-id:9 upgrades it\n",
         0},
        {Drive(0, 2, kB8NB, "1.04"), {g567l, "--dry-run"}, loaded + kNoDrives, "", 1},
        {Drive(0, 1, kLoader, "1.02"),
         {g253k, "--dry-run"},
         std::string(kBanner) + "Upgrade file for QV-G253K loaded\n",
         "qvupdate: would upgrade the QV-G253K at HA:0 ID:1 from version 1.02 to 1.06\n",
         0},
    };
    for (const auto& run : runs) {
        box.SetBus(run.bus);
        Result r = box.Run(run.args);
        EXPECT_EQ(r.out + r.err + std::to_string(r.status), run.out + run.err + std::to_string(run.status))
            << testing::PrintToString(run.args);
    }
    EXPECT_TRUE(Changing(box.Log()).empty());
}

TEST(Cli, DebugListsTheProductTableBeforeTheBanner) {
    Sandbox box;
    box.SetBus(Drive(0, 1, kB8NB, "1.04"));
    Bytes image = Image(13, "1.10");
    std::string file = box.WriteFile("qvg567l.bin", image);
    unsigned sum = image[0x7FFFE] * 256u + image[0x7FFFF];
    char trace[200];
    std::snprintf(trace, sizeof trace,
                  "Found drive type: 13\nChecksum pos: 0x7FFFE\nChecksum 0x%X should be 0x%X\n", sum, sum);

    Result r = box.Run({"-debug", file});
    EXPECT_EQ(r.out, ProductTable() + kBanner + trace + "Upgrade file for QV-G567L loaded\n" + kNoDrives);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);

    // Only the whole word counts.
    r = box.Run({"-debugx", "-deb", file});
    EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-G567L loaded\n" + kNoDrives);
    EXPECT_EQ(r.status, 0);
}

TEST(Cli, WhatCountsAsTheFileName) {
    Sandbox box;
    box.SetBus(Drive(0, 1, kB8NB, "1.04"));
    std::string file = box.WriteFile("qvg567l.bin", Image(13, "1.10"));
    std::string missing = box.Path("missing.bin");
    const std::string loaded = std::string(kBanner) + "Upgrade file for QV-G567L loaded\n" + kNoDrives;

    const std::string listing = std::string(kBanner) + "DRAVLIN CD-ROM QV-B8NB   V1.04 (HA:0 ID:1)\n";
    // On Windows a slash begins a switch, elsewhere a path.
    const bool windows = ProgramFile("qvupdate") != "qvupdate";
    const auto unable = [](const std::string& name) {
        return std::string(kBanner) + "\aUnable to open file " + name + "\n";
    };
    const auto why = [](const std::string& name) {
        return "qvupdate: " + name + " cannot be opened: No such file or directory\n";
    };
    struct Case {
        std::vector<std::string> args;
        std::string out;
        int status;
        std::string err = "";
    } cases[] = {
        {{"/x"}, unable("/x"), 1, why("/x")},
        {{"-x", file}, loaded, 0, "qvupdate: ignoring unknown option -x\n"},
        {{missing, file}, loaded, 0},
        {{file, missing}, unable(missing), 1, why(missing)},
        // A path that begins with /l is the list option on Windows only.
        {{"/local/fw.bin"},
         windows ? listing : unable("/local/fw.bin"),
         windows ? 0 : 1,
         windows ? "" : why("/local/fw.bin")},
        {{"/l"}, listing, 0},
        // On Windows a switch whose number is no whole decimal.
        {{file, "/ha:1x"},
         windows ? std::string(kBanner) + kUsage : unable("/ha:1x"),
         1,
         windows ? Said("/ha:1x: a host adapter is a whole decimal number from 0 to 255") +
                       "qvupdate --help lists every option\n"
                 : why("/ha:1x")},
    };
    for (const Case& c : cases) {
        Result r = box.Run(c.args);
        EXPECT_EQ(r.out, c.out) << testing::PrintToString(c.args);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.status);
    }
}

TEST(Cli, LongFileNameIsRefusedWhole) {
    // The first 255 characters of the name name an image for the drive on
    // the bus; the name as given names nothing, and nothing is flashed.
    Sandbox box;
    box.SetBus(Drive(0, 2, kG567L, "1.00"));
    std::string path = box.dir() + "/";
    path += std::string(255 - path.size(), 'f');
    box.WriteFile(path.substr(box.dir().size() + 1), Image(13, "1.10"));
    const std::string name = path + std::string(300 - path.size(), 'm');
    Result r = box.Run({name, "-all"}, "y\n");
    EXPECT_EQ(r.out, std::string(kBanner) + "\aUnable to open file " + name + "\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Changing(box.Log()).empty());
}

TEST(Cli, TargetWithoutAdapterMeansAdapterZero) {
    // A disc in the G567L stops the run at the medium check, which shows
    // which drive was addressed without a transfer.
    Sandbox box;
    box.SetBus("adapters 2\n" + Drive(0, 2, kG567L, "1.00", true) + Drive(1, 2, kB8NB, "1.04"));
    std::string file = box.WriteFile("qvg567l.bin", Image(13, "1.10"));
    const std::string head = std::string(kBanner) + "Upgrade file for QV-G567L loaded\n" + kWarning;

    Result r = box.Run({file, "-id:2"}, "y\n");
    EXPECT_EQ(r.out, head + "Please remove medium from drive and try again.\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Execs(To(box.Log(), 0, 2), 0x00).size(), 4u);  // scan + medium check

    r = box.Run({file, "-id:2", "/ha:1"}, "y\n");
    EXPECT_EQ(r.out, head + "No QV-G567L found at HA:1 ID:2\n");
    EXPECT_EQ(r.status, 1);

    // "-id:" alone is target 0, "-id:-1" no target at all.
    r = box.Run({file, "-id:"}, "y\n");
    EXPECT_EQ(r.out, head + "No QV-G567L found at HA:0 ID:0\n");
    EXPECT_EQ(r.status, 1);
    r = box.Run({file, "-id:7", "-id:-1"}, "n\n");
    EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-G567L loaded\n" +
                         "Upgrade Dravlin drive at HA:0 ID:2? (y/n/a)  n\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Cli, InteractiveAnswers) {
    Sandbox box;
    box.SetBus("adapters 2\n" + Drive(0, 2, kG567L, "1.00") + Drive(0, 5, kB8NB, "1.04") +
               Drive(1, 3, kG567L, "1.00"));
    std::string file = box.WriteFile("qvg567l.bin", Image(13, "1.10"));
    const std::string head = std::string(kBanner) + "Upgrade file for QV-G567L loaded\n";

    // Other characters and newlines are skipped until y, n or a; the
    // adapter option alone changes nothing, and says so.
    Result r = box.Run({file, "-ha:1"}, "q\nx\n\nn\nN");
    EXPECT_EQ(r.out, head + "Upgrade Dravlin drive at HA:0 ID:2? (y/n/a)  n\n" +
                         "Upgrade Dravlin drive at HA:1 ID:3? (y/n/a)  n\n");
    EXPECT_EQ(r.err, "qvupdate: -ha: without -id: names no drive; every adapter is walked\n" +
                         Yes("QV-G567L", 0, 2, "1.00", "1.10") + Yes("QV-G567L", 1, 3, "1.00", "1.10"));
    EXPECT_EQ(r.status, 0);  // drives matched, so no "No upgradable drives"
    EXPECT_TRUE(Changing(box.Log()).empty());

    // Y is yes: the upgrade starts with its warning; the newline after Y is
    // read by the confirmation.
    box.SetBus("adapters 2\n" + Drive(0, 2, kG567L, "1.00") + Drive(1, 3, kG567L, "1.00", true));
    r = box.Run({file}, "xnY\ny\n");
    EXPECT_EQ(r.out, head + "Upgrade Dravlin drive at HA:0 ID:2? (y/n/a)  n\n" +
                         "Upgrade Dravlin drive at HA:1 ID:3? (y/n/a)  y\n" + kWarning +
                         "Please remove medium from drive and try again.\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Changing(box.Log()).empty());
}

TEST(Cli, NoMatchingDriveRingsTheBell) {
    Sandbox box;
    box.SetBus(Drive(0, 2, kG567L, "1.00") + Drive(0, 1, kB8NB, "1.04"));
    std::string file = box.WriteFile("qvb8nv.bin", Image(14, "1.10"));
    for (const auto& args : {std::vector<std::string>{file}, std::vector<std::string>{file, "-all"}}) {
        Result r = box.Run(args);
        EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-B8NV loaded\n" + kNoDrives);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}

TEST(Cli, BuiltInBusHasNoDriveForAnotherModel) {
    Sandbox box;  // no bus description: the simulator's own bus
    std::string file = box.WriteFile("qvb8nb.bin", Image(12, "1.06"));
    Result r = box.Run({file, "-all"});
    EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-B8NB loaded\n" + kNoDrives);
    EXPECT_EQ(r.status, 0);
    // The simulator announces its built-in bus in one line.
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

TEST(Cli, JumperNoticeWhenOnlyTheNormalModeIsFound) {
    Sandbox box;
    box.SetBus(Drive(0, 3, kG253K, "1.02"));
    std::string file = box.WriteFile("g253k106.bin", Image(11, "1.06"));
    const std::string head = std::string(kBanner) + "Upgrade file for QV-G253K loaded\n";

    for (const auto& args : {std::vector<std::string>{file}, std::vector<std::string>{file, "-all"}}) {
        Result r = box.Run(args);
        EXPECT_EQ(r.out, head + JumperNotice());
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(Changing(box.Log()).empty());
    }

    // The last drive in table order decides between the notice and nothing.
    box.SetBus(Drive(0, 1, kLoader, "1.02") + Drive(0, 3, kG253K, "1.02"));
    Result r = box.Run({file}, "n");
    EXPECT_EQ(r.out, head + "Upgrade Dravlin drive at HA:0 ID:1? (y/n/a)  n\n" + JumperNotice());
    EXPECT_EQ(r.status, 0);
    box.SetBus(Drive(0, 1, kG253K, "1.02") + Drive(0, 3, kLoader, "1.02"));
    r = box.Run({file}, "n");
    EXPECT_EQ(r.out, head + "Upgrade Dravlin drive at HA:0 ID:3? (y/n/a)  n\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Cli, ListingIgnoresTheTarget) {
    Sandbox box;
    box.SetBus(Drive(0, 2, kG567L, "1.00") + Drive(0, 1, kB8NB, "1.04"));
    const std::string listing = std::string(kBanner) +
                                "DRAVLIN CD-ROM QV-B8NB   V1.04 (HA:0 ID:1)\n"
                                "DRAVLIN CD-R   QV-G567L  V1.00 (HA:0 ID:2)\n";
    for (const auto& args : {std::vector<std::string>{"-l"}, std::vector<std::string>{"-id:2", "-l"}}) {
        Result r = box.Run(args, "y\n");
        EXPECT_EQ(r.out, listing);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
    EXPECT_TRUE(Changing(box.Log()).empty());
}

TEST(Cli, DevAddressIsTheWholeDriveTable) {
    // With dev= the loop sees only that address, even with -all and a
    // matching drive elsewhere.
    Sandbox box;
    box.SetBus(Drive(0, 2, kG567L, "1.00") + Drive(0, 1, kB8NB, "1.04"));
    std::string file = box.WriteFile("qvg567l.bin", Image(13, "1.10"));
    Result r = box.Run({file, "dev=0,1,0", "-all"});
    EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-G567L loaded\n" + kNoDrives);
    EXPECT_EQ(r.status, 0);
    // The simulator knows no kernel names of its drives.
    r = box.Run({file, "dev=/dev/sg0", "-all"});
    EXPECT_NE(r.err.find(Said("this ASPI layer cannot address drives by name")), std::string::npos) << r.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(To(box.Log(), 0, 2).empty());
}

TEST(Cli, NoAspiLayerIsLoadedFromTheWorkingFolder) {
    // A program with no WNASPI32 beside it, started in a folder that holds
    // one: the run path must not lead the loader to the working folder.
    Sandbox box;
    namespace fs = std::filesystem;
    fs::create_directory(box.Path("bin"));
    const std::string program = box.Path("bin/" + ProgramFile("qvupdate"));
    fs::copy_file(QvupdatePath(), program);
    fs::copy_file(fs::path(QvupdatePath()).parent_path() / LayerFile(), box.Path(LayerFile()));
    box.SetProgram(program);
    const fs::path was = fs::current_path();
    fs::current_path(box.dir());
    Result r = box.Run({"-l"});
    fs::current_path(was);
    EXPECT_EQ(r.err.find("aspisim:"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("QV-G567L"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace e2e
