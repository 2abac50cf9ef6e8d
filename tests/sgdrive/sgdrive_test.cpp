// qvupdate and the Linux ASPI layer through the real system calls: sysfs
// discovery, open, SG_IO, the command log, all against drives emulated by
// umockdev (sgbed.h). The emulation itself is checked first with sg3-utils,
// clients written elsewhere.
#include <dlfcn.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "aspilinux/sgtarget.h"
#include "tests/harness.h"
#include "tests/sgdrive/sgbed.h"

namespace sgdrive {
namespace {

using e2e::Bytes;
using e2e::LogEntry;
using e2e::Result;
using e2e::Sandbox;

const char kG567L[] = "CD-R   QV-G567L ";
const char kLoader[] = "*Loader Mode 1* ";
const char kG253K[] = "CD-ROM QV-G253K ";

// A drive of the maker at host:0:target:0 with its sg and sr nodes.
Drive At(int host, int target, int sg, int sr, const aspisim::DeviceConf& conf,
         std::vector<Fault> faults = {}) {
    Drive d;
    d.host = host;
    d.target = target;
    d.sg = sg;
    d.sr = sr;
    d.conf = conf;
    d.faults = std::move(faults);
    return d;
}

// The same behind a USB bridge, which restarts on a new host.
Drive OnUsb(Drive d) {
    d.place = "pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0";
    return d;
}

// The drive leaves once the n-th command with `opcode` was answered, and
// `then` is added `after_ms` later: the drive itself (`same`) or another.
Fault Leaves(std::uint8_t opcode, unsigned long nth, Drive then, bool same, unsigned after_ms = 0) {
    Fault f;
    f.opcode = opcode;
    f.nth = nth;
    f.vanish = true;
    f.then = std::make_shared<const Drive>(std::move(then));
    f.same = same;
    f.after_ms = after_ms;
    return f;
}

// And `ms` after it left, the drive itself comes back as `back`.
Fault Back(Fault f, Drive back, unsigned ms) {
    f.back = std::make_shared<const Drive>(std::move(back));
    f.back_ms = ms;
    return f;
}

// The bus of most rows: a QV-G567L without a disc on a SATA port.
std::vector<Drive> OneG567L(std::vector<Fault> faults = {}, bool medium = false) {
    return {At(0, 0, 0, 0, Dravlin(kG567L, "1.00", medium), std::move(faults))};
}

long Be(const Bytes& b, std::size_t from, int n) {
    long v = 0;
    for (int i = 0; i < n; i++) v = v * 256 + b.at(from + static_cast<std::size_t>(i));
    return v;
}

// Every piece a run sent holds the image's bytes at the piece's offset.
void ExpectPiecesOfImage(const std::vector<LogEntry>& log, const Bytes& image) {
    for (const LogEntry& e : e2e::Changing(log)) {
        if (!e.has_crc) continue;  // the erase moves no data
        SCOPED_TRACE(e.line);
        long at = e.cdb[0] == 0x3B ? Be(e.cdb, 3, 3) : Be(e.cdb, 2, 4);
        ASSERT_LE(at + e.len, static_cast<long>(image.size()));
        EXPECT_EQ(e.crc, qvtest::crc32(image.data() + at, static_cast<std::size_t>(e.len)));
    }
}

#ifdef SG3_UTILS_DIR
// sg3-utils against the bed, one step after the other on one drive: INQUIRY
// data, the sense of a check condition, a whole download in WRITE BUFFER
// pieces landing byte for byte, then an exclusive holder and a refused open.
TEST(SgBed, ClientsWrittenElsewhereSeeADrive) {
    Bytes image = e2e::Image(13, "1.10");
    const std::string last = std::to_string(image.size() - 8192);
    struct Step {
        const char* tool;
        std::vector<std::string> args;
        std::function<void(Bed&)> before;
        int status;
        std::string shows;
    };
    const Step steps[] = {
        {"sg_inq", {"/dev/sg0"}, {}, 0, "Product identification: CD-R   QV-G567L"},
        {"sg_turs", {"-vv", "/dev/sg0"}, {}, 2, "Additional sense: Medium not present"},
        {"sg_write_buffer",
         {"--mode=4", "--bpw=8192", "--length=" + last, "--in=IMAGE", "/dev/sg0"},
         {},
         0,
         ""},
        {"sg_write_buffer",
         {"--mode=5", "--offset=" + last, "--skip=" + last, "--length=8192", "--in=IMAGE", "/dev/sg0"},
         {},
         0,
         ""},
        {"sg_inq",
         {"/dev/sg0"},
         [](Bed& b) { ASSERT_TRUE(b.Hold("sg0", true)); },
         50 + EBUSY,
         "Device or resource busy"},
        {"sg_inq", {"/dev/sg0"}, [](Bed& b) { b.Refuse("sg0", EACCES); }, 50 + EACCES, "Permission denied"},
    };
    Bed bed;  // one per process: umockdev points $UMOCKDEV_DIR at the newest
    bed.Add(OneG567L().front());
    Sandbox box;
    std::string file = box.WriteFile("image", image);
    for (const Step& s : steps) {
        SCOPED_TRACE(s.tool + (" " + s.args.front()));
        if (s.before) s.before(bed);
        std::vector<std::string> args = s.args;
        for (std::string& a : args)
            if (a == "--in=IMAGE") a = "--in=" + file;
        box.SetProgram(std::string(SG3_UTILS_DIR) + "/" + s.tool);
        Result r = box.Run(args);
        EXPECT_EQ(r.status, s.status) << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(s.shows), std::string::npos) << r.out << r.err;
    }
    EXPECT_EQ(bed.Flash(0), image);
    EXPECT_EQ(bed.Unanswered(), std::vector<std::string>{});
}
#endif

// One run of qvupdate on a bed, as a user starts it.
struct Row {
    const char* name;
    std::vector<Drive> bus;
    std::function<void(Bed&)> before;  // another program, refused opens
    int image_type;                    // 0: no image
    std::string version;
    std::vector<std::string> args;  // IMAGE stands for the image file
    int status;                     // 128 + N: ended by signal N
    std::string out;                // after the banner
    std::vector<std::string> err;   // pieces standard error shows; none: empty
    int changing;                   // commands that change the drive
    bool flashed;                   // the drive holds the image afterwards
};

const std::string kHead13 = "Upgrade file for QV-G567L loaded\n" + std::string(e2e::kWarning);
const std::string kTransfer13 = kHead13 +
                                "Current firmware version: 1.00\n"
                                "Upgrade QV-G567L (HA:0 ID:0) in progress...";
const std::string kUpgraded13 = kTransfer13 + "Done\nNew firmware version    : 1.10\n";
const std::string kNoDrive = "Upgrade file for QV-G567L loaded\n\aNo upgradable drives found\n";
const char kMedium[] = "Please remove medium from drive and try again.\n";
// What the layer says once on every run, as it starts (after what the
// transport says of a dev= it was given).
const char kLayer[] = "aspilinux: using the drives of this machine through the SCSI generic driver\n";
// The line before the question of the drive of most rows.
const char kName0[] = "HA:0 ID:0 = /dev/sg0 (0:0:0:0)\n";

// What the program shows of a transfer that failed, with the version the
// drive reports afterwards.
std::string Failed(const std::string& version) {
    return kTransfer13 + "Done\nNew firmware version    : " + version + "\nError upgrading drive\n";
}

// The tenth WRITE BUFFER piece, the one the faults hit.
const char kTenthPiece[] = "CDB:  3B 04 00 01 20 00 00 20 00 00\n";
// The drive's third INQUIRY comes before the question, the fourth after it.
constexpr unsigned long kBeforeTheQuestion = 3;
const char kChanged[] = "qvupdate: drive HA:0 ID:0 changed while the question waited; nothing written\n";

// One row a run, its fields in the order of Row.
// clang-format off
const Row kRows[] = {
    {"Listing",
     {At(0, 0, 0, 0, Dravlin(kG567L, "1.00")),
      At(1, 0, 1, -1, [] {
          aspisim::DeviceConf disk = Dravlin("SSD 860 EVO     ", "1B6Q");
          disk.vendor = {'A', 'T', 'A', ' ', ' ', ' ', ' ', ' '};
          disk.type = 0;
          return disk;
      }()),
      At(7, 0, 2, 1, Dravlin(kLoader, "1.02"))},
     {}, 0, "", {"-l"}, 0,
     "DRAVLIN CD-R   QV-G567L  V1.00 (HA:0 ID:0)\n"
     "DRAVLIN *Loader Mode 1*  V1.02 (HA:2 ID:0)\n",
     {"HA:0 ID:0 = /dev/sg0 (0:0:0:0)\nHA:2 ID:0 = /dev/sg2 (7:0:0:0)\n"}, 0, false},
    {"Type13Upgrade", OneG567L(), {}, 13, "1.10", {"IMAGE", "-all"}, 0, kUpgraded13, {kName0}, 64, true},
    // The kernel's names of a drive, resolved by the layer.
    {"AddressedByItsNode", OneG567L(), {}, 13, "1.10", {"IMAGE", "dev=/dev/sg0"}, 0, kUpgraded13, {kName0}, 64,
     true},
    {"AddressedByItsBlockNode", {At(0, 0, 1, 0, Dravlin(kG567L, "1.00"))}, {}, 13, "1.10",
     {"IMAGE", "dev=/dev/sr0", "--dry-run"}, 0, "Upgrade file for QV-G567L loaded\n",
     {"would upgrade the QV-G567L at HA:0 ID:0 from version 1.00 to 1.10\n"}, 0, false},
    {"AddressedByHCTL", {At(0, 0, 3, -1, Dravlin(kLoader, "1.02")), At(5, 2, 4, -1, Dravlin(kG567L, "1.00"))}, {},
     13, "1.10", {"IMAGE", "dev=5:0:2:0", "--dry-run"}, 0, "Upgrade file for QV-G567L loaded\n",
     {"HA:1 ID:2 = /dev/sg4 (5:0:2:0)\nqvupdate: would upgrade the QV-G567L at HA:1 ID:2"}, 0, false},
    {"NoDriveOfThatName", OneG567L(), {}, 13, "1.10", {"IMAGE", "dev=/dev/sg1"}, 1, "",
     {"qvupdate: no drive is named /dev/sg1\n"}, 0, false},
    // Signals that come while the layer's worker waits in SG_IO reach the
    // program's own thread, which holds them until the transfer has ended
    // (then the first ends the run): every thread of the layer blocks them,
    // no piece is interrupted or sent twice.
    {"SignalsDuringASlowPiece", OneG567L({{0x3B, 10, 0, 0, false, 1000, true}}), {}, 13, "1.10",
     {"IMAGE", "-all"}, 128 + SIGINT, kUpgraded13, {"firmware transfer in progress"}, 64, true},
    {"LoaderModeUpgrade", {At(7, 0, 0, -1, Dravlin(kLoader, "1.02"))}, {}, 11, "1.06", {"IMAGE", "-all"}, 0,
     "Upgrade file for QV-G253K loaded\n" + std::string(e2e::kWarning) +
         "Current firmware version: 1.02\n"
         "Upgrade QV-G253K (HA:0 ID:0) in progress...Done\n"
         "New firmware version: 1.06\n",
     {"HA:0 ID:0 = /dev/sg0 (7:0:0:0)\n"}, 9, true},
    {"DiscInTheDrive", OneG567L({}, true), {}, 13, "1.10", {"IMAGE", "-all"}, 1, kHead13 + kMedium, {kName0}, 0,
     false},
    {"PermissionRefused", OneG567L(), [](Bed& b) { b.Refuse("sg0", EACCES); }, 13, "1.10", {"IMAGE", "-all"}, 0,
     kNoDrive, {"/dev/sg0 (0:0:0:0, DRAVLIN CD-R   QV-G567L", "Permission denied", "run as root", "group"}, 0, false},
    {"InUseByAnotherProgram", OneG567L(), [](Bed& b) { ASSERT_TRUE(b.Hold("sg0", false)); }, 13, "1.10",
     {"IMAGE", "-all"}, 1, kNoDrive,
     {"/dev/sg0 (0:0:0:0, DRAVLIN CD-R   QV-G567L) is in use", "qvupdate: 1 busy drive(s) could not be examined\n"},
     0, false},
    {"InUseAtTheAddress", OneG567L(), [](Bed& b) { ASSERT_TRUE(b.Hold("sg0", false)); }, 13, "1.10",
     {"IMAGE", "dev=0,0,0"}, 1, kHead13, {"qvupdate: drive HA:0 ID:0 is in use by another process\n"}, 0, false},
    // The block node is claimed for the writing only: the first piece is
    // refused and the drive keeps its firmware.
    {"DiscMounted", OneG567L(), [](Bed& b) { ASSERT_TRUE(b.Hold("sr0", true)); }, 13, "1.10",
     {"IMAGE", "-all"}, 1, Failed("1.00"), {"/dev/sr0 (0:0:0:0, DRAVLIN CD-R   QV-G567L) is in use", "write_buffer"},
     1, false},
    // The driver gives up (at the 270 s it was given, which the bed checks
    // rather than waits out) before the program's own 300 s wait: the
    // program sees the command fail, it does not give up on it.
    {"TimeOutInMidTransfer", OneG567L({{0x3B, 10, DID_TIME_OUT}}), {}, 13, "1.10",
     {"IMAGE", "-all"}, 1, Failed("1.00"), {kTenthPiece}, 10, false},
    // A bridge that cuts a piece short and reports GOOD: the piece failed.
    {"ShortTransfer", OneG567L({{0x3B, 10}}), {}, 13, "1.10", {"IMAGE", "-all"}, 1, Failed("1.00"),
     {kTenthPiece, "command 3B moved 0 of 8192 bytes to the drive"}, 10, false},
    // The drive is gone for the version check after the transfer too.
    {"DriveGoneInMidTransfer", OneG567L({{0x3B, 10, 0, ENODEV, true}}), {}, 13, "1.10", {"IMAGE", "-all"}, 1,
     Failed(""), {kTenthPiece}, 10, false},
    // Another drive at the address once the question was asked: behind the
    // same bridge (the same node; from its fifth command on), or on a node
    // of its own.
    {"SwappedWhileTheQuestionWaited",
     {At(0, 0, 0, 0, [] {
         aspisim::DeviceConf c = Dravlin(kG567L, "1.00");
         c.swap = aspisim::SwapConf{kBeforeTheQuestion + 2, {}, Dravlin(kG253K, "1.00").product, {}};
         return c;
     }())},
     {}, 13, "1.10", {"IMAGE", "-all"}, 1, kHead13, {kName0, kChanged}, 0, false},
    {"ReplacedByAnotherNode",
     OneG567L({Leaves(0x12, kBeforeTheQuestion, At(0, 0, 1, 1, Dravlin(kG567L, "1.00")), false)}), {}, 13, "1.10",
     {"IMAGE", "-all"}, 1, kHead13, {kName0, kChanged}, 0, false},
    // Restarted after the commit, the drive comes back on a new host 300 ms
    // later: the layer follows it there and the version is read back.
    {"BackUnderNewNames",
     {OnUsb(At(0, 0, 0, 0, Dravlin(kG567L, "1.00"),
               {Leaves(0x3B, 64, OnUsb(At(1, 0, 1, 1, Dravlin(kG567L, "1.10"))), true, 300)}))},
     {}, 13, "1.10", {"IMAGE", "-all"}, 0, kUpgraded13,
     {kName0, "aspilinux: the drive at HA:0 ID:0 came back as /dev/sg1 (1:0:0:0)\n"}, 64, true},
    // Another model there first is never taken for it; the drive itself,
    // back later on a third host, is.
    {"AnotherDriveInItsPlace",
     {OnUsb(At(0, 0, 0, 0, Dravlin(kG567L, "1.00"),
               {Back(Leaves(0x3B, 64, OnUsb(At(1, 0, 1, 1, Dravlin(kG253K, "1.00"))), false, 300),
                     OnUsb(At(2, 0, 2, 2, Dravlin(kG567L, "1.10"))), 1500)}))},
     {}, 13, "1.10", {"IMAGE", "-all"}, 0, kUpgraded13,
     {kName0, "aspilinux: the drive at HA:0 ID:0 came back as /dev/sg2 (2:0:0:0)\n"}, 64, true},
};
// clang-format on

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

class Qvupdate : public ::testing::TestWithParam<Row> {};

#ifndef LINUX_WNASPI32_PATH
#define LINUX_WNASPI32_PATH ""
#endif

TEST_P(Qvupdate, OnLinuxDrives) {
    if (*LINUX_WNASPI32_PATH == '\0')
        GTEST_SKIP() << "the Linux ASPI layer (target WNASPI32_linux) is not in this tree";
    const Row& row = GetParam();
    Bed bed;
    for (const Drive& d : row.bus) bed.Add(d);
    Bytes before = bed.Flash(0);
    if (row.before) row.before(bed);

    // $ORIGIN follows symbolic links: the program and its layer are copied.
    Sandbox box;
    namespace fs = std::filesystem;
    fs::copy_file(e2e::QvupdatePath(), box.Path("qvupdate"));
    fs::copy_file(LINUX_WNASPI32_PATH, box.Path("WNASPI32"));
    box.SetProgram(box.Path("qvupdate"));
    // The simulator's scale, set as a person who tried the simulator
    // might have left it: a real drive's time limits must not follow it.
    box.SetTimeScale("0.001");
    box.SetEnv("ASPILINUX_LOG", box.Path("log"));
    bed.SignalsTo([&box] { return box.Child(); });
    Bytes image = row.image_type ? e2e::Image(row.image_type, row.version) : Bytes{};
    std::vector<std::string> args = row.args;
    for (std::string& a : args)
        if (a == "IMAGE") a = box.WriteFile("image.bin", image);

    Result r = box.Run(args, "y\n");
    EXPECT_FALSE(r.timed_out);
    const std::size_t layer = r.err.find(kLayer);
    EXPECT_NE(layer, std::string::npos) << r.err;
    if (layer != std::string::npos) r.err.erase(layer, sizeof kLayer - 1);
    EXPECT_EQ(r.signal ? 128 + r.signal : r.status, row.status);
    EXPECT_EQ(r.out, e2e::kBanner + row.out);
    if (row.err.empty()) {
        EXPECT_EQ(r.err, "");
    }
    for (const std::string& piece : row.err)
        EXPECT_NE(r.err.find(piece), std::string::npos) << piece << "\n" << r.err;

    std::vector<LogEntry> log = box.Log();
    EXPECT_FALSE(log.empty());
    EXPECT_EQ(e2e::Changing(log).size(), static_cast<std::size_t>(row.changing));
    // Every command ends before the program's wait does: none is aborted.
    for (const LogEntry& e : log) EXPECT_NE(e.kind, "abort") << e.line;
    ExpectPiecesOfImage(log, image);
    // A drive swapped in shows a flash of its own.
    if (!row.bus[0].conf.swap) {
        EXPECT_EQ(bed.Flash(0), row.flashed ? image : before);
    }
    EXPECT_EQ(bed.Unanswered(), std::vector<std::string>{});
    EXPECT_EQ(bed.Repeated(), std::vector<std::string>{});
    EXPECT_EQ(bed.Unblocked(), std::vector<std::string>{});
    for (unsigned ms : bed.Timeouts()) EXPECT_EQ(ms, aspilinux::SG_TIMEOUT_MS);
}

// The layer's name entries in this process, over the bed: a buffer too
// small for the name gets what fits, terminated, and nothing beyond it.
TEST(SgBed, NameEntriesKeepToTheCallersBuffer) {
    if (*LINUX_WNASPI32_PATH == '\0') GTEST_SKIP() << "no Linux ASPI layer in this tree";
    Bed bed;
    bed.Add(At(5, 2, 4, -1, Dravlin(kG567L, "1.00")));
    void* layer = dlopen(LINUX_WNASPI32_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(layer, nullptr) << dlerror();
    auto name = reinterpret_cast<int (*)(int, int, int, char*, int)>(dlsym(layer, "aspilinux_device_name"));
    auto address =
        reinterpret_cast<int (*)(const char*, int*, int*, int*)>(dlsym(layer, "aspilinux_device_address"));
    char text[12] = "xxxxxxxxxxx";
    EXPECT_EQ(name(0, 2, 0, text, 8), 18);  // "/dev/sg4 (5:0:2:0)"
    EXPECT_EQ(name(0, 3, 0, text, 8), -1);
    EXPECT_EQ(std::string(text, sizeof text), std::string("/dev/sg\0xxx\0", 12));
    int at[3] = {};
    EXPECT_EQ(address("05:0:2:0", &at[0], &at[1], &at[2]) + address("5:0:2:0", &at[0], &at[1], &at[2]), 1);
    EXPECT_EQ(std::vector<int>(at, at + 3), (std::vector<int>{0, 2, 0}));
}

INSTANTIATE_TEST_SUITE_P(Row, Qvupdate, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return info.param.name; });

}  // namespace
}  // namespace sgdrive
