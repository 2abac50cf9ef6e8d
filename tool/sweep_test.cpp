// Fault sweep: every command of a successful upgrade, for each transfer
// procedure, fails once in each way a drive or the host layer can fail it
// (check condition, an ASPI error status, no completion until the time-out),
// one run each. Whatever fails, the run must end, say what happened, keep a
// drive from taking a partial image, and send nothing to the drive after a
// failed transfer command but the read of its version.
//
// The same for the probes of the bus scan and of the listing: a probe that
// fails leaves its drive out and the run goes on with the others.
//
// The runs go in the test's own process, over the simulator's drives behind
// the fake transport and a clock that only moves as the run sleeps: the
// whole matrix takes a moment.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/runtexts.h"
#include "testing/simbus.h"
#include "tool/testing/tooltest.h"

namespace {

using Bytes = std::vector<unsigned char>;
using qvtest::Drive;
using qvtest::Image;
using qvtest::kBanner;
using qvtest::kPartlyWritten;
using qvtest::kWarning;

enum Opcode : int {
    TEST_UNIT_READY = 0x00,
    INQUIRY = 0x12,
    WRITE_BUFFER = 0x3B,
    ERASE_ROM = 0xE1,
    WRITE_ROM = 0xE2,
    READ_ROM = 0xE3,
};

const char* OpName(int opcode) {
    switch (opcode) {
    case TEST_UNIT_READY: return "TestUnitReady";
    case INQUIRY: return "Inquiry";
    case WRITE_BUFFER: return "WriteBuffer";
    case ERASE_ROM: return "EraseRom";
    case WRITE_ROM: return "WriteRom";
    case READ_ROM: return "ReadRom";
    default: return "Op";
    }
}

// The name the program reports a failed command under.
const char* CmdName(int opcode) {
    switch (opcode) {
    case INQUIRY: return "inquiry";
    case WRITE_BUFFER: return "write_buffer";
    case ERASE_ROM: return "erase_rom";
    case WRITE_ROM: return "write_rom";
    case READ_ROM: return "read_rom";
    default: return "test unit ready";
    }
}

enum class Kind { Check, Aspi, Hang };

// ASPI statuses other than SS_ERR that a command may end with, taken in
// turn so that the sweep meets each of them.
const int kAspiStatuses[] = {0x02, 0x03, 0x80, 0x81, 0x82, 0xE0, 0xE1, 0xE2, 0xE5, 0xE6, 0xFF};

// The fault statement that makes the n-th command with opcode to the drive
// at (ha, target) fail in the given way.
std::string FaultLine(int ha, int target, int opcode, int nth, Kind kind, int aspi_status) {
    char line[96];
    const char* verb = kind == Kind::Hang ? "hang" : "fail";
    std::snprintf(line, sizeof line, "%s %d %d 0x%02X %d", verb, ha, target, opcode, nth);
    std::string s = line;
    if (kind == Kind::Aspi) {
        std::snprintf(line, sizeof line, " status=0x%02X targstat=0x00", aspi_status);
        s += line;
    }
    return s + "\n";
}

std::string KindName(Kind kind, int aspi_status) {
    if (kind == Kind::Check) return "Check";
    if (kind == Kind::Hang) return "Hang";
    char name[16];
    std::snprintf(name, sizeof name, "Aspi%02X", aspi_status);
    return name;
}

// --- the transfer sweep --------------------------------------------------

struct Procedure {
    const char* name;
    int type;             // of the image
    const char* product;  // the drive's INQUIRY product
    const char* model;    // in the messages
    const char* from;     // the drive's firmware before
    const char* to;       // the image's
    int pieces;           // the last one closes the transfer
    bool rom;             // erased and programmed directly, no WRITE BUFFER
};

const Procedure kProcedures[] = {
    {"Loader", 11, "*Loader Mode 1* ", "QV-G253K", "1.02", "1.06", 8, true},
    {"G567L", 13, "CD-R   QV-G567L ", "QV-G567L", "1.00", "1.10", 64, false},
    {"B8NB", 12, "CD-ROM QV-B8NB  ", "QV-B8NB", "1.04", "1.06", 16, false},
};

constexpr int kHa = 0, kTarget = 2;

// What a command of a clean upgrade is for, which decides how a run whose
// command fails must end.
enum class Phase {
    ScanTest,        // bus scan: result ignored
    ScanInquiry,     // bus scan: no answer, no drive
    Identify,        // the unattended loop's identification
    IdentifyAgain,   // upgrade's own, before the confirmation
    Answered,        // the same drive after the confirmation?
    MediumTest,      // first and second medium check: only the third counts
    LastMediumTest,  // must say "medium not present"
    VersionBefore,
    LastBlock,    // the loader mode: an earlier upgrade cut short?
    BeforeWrite,  // the same drive right before the first write?
    Erase,
    Piece,        // the last one is the closing piece
    VerifyBlock,  // the loader mode: every block read back
    VersionAfter,
};

struct Step {
    int opcode;
    Phase phase;
    int nth;    // the n-th command with this opcode to the drive, from 1
    int piece;  // for Phase::Piece, from 1
};

// The commands a clean run of `qvupdate IMAGE -all` sends to the one drive,
// in order. The clean runs below check it against the simulator's log, so
// the sweep covers every command the program sends.
std::vector<Step> CleanRun(const Procedure& p) {
    const int version = p.rom ? READ_ROM : INQUIRY;
    std::vector<Step> steps = {
        {TEST_UNIT_READY, Phase::ScanTest, 0, 0},   {INQUIRY, Phase::ScanInquiry, 0, 0},
        {INQUIRY, Phase::Identify, 0, 0},           {INQUIRY, Phase::IdentifyAgain, 0, 0},
        {INQUIRY, Phase::Answered, 0, 0},           {TEST_UNIT_READY, Phase::MediumTest, 0, 0},
        {TEST_UNIT_READY, Phase::MediumTest, 0, 0}, {TEST_UNIT_READY, Phase::LastMediumTest, 0, 0},
        {version, Phase::VersionBefore, 0, 0},
    };
    if (p.rom) steps.push_back({READ_ROM, Phase::LastBlock, 0, 0});
    steps.push_back({INQUIRY, Phase::BeforeWrite, 0, 0});
    if (p.rom) steps.push_back({ERASE_ROM, Phase::Erase, 0, 0});
    for (int k = 1; k <= p.pieces; k++)
        steps.push_back({p.rom ? WRITE_ROM : WRITE_BUFFER, Phase::Piece, 0, k});
    for (int k = 1; p.rom && k <= p.pieces; k++) steps.push_back({READ_ROM, Phase::VerifyBlock, 0, k});
    steps.push_back({version, Phase::VersionAfter, 0, 0});
    for (std::size_t i = 0; i < steps.size(); i++) {
        int n = 0;
        for (std::size_t j = 0; j <= i; j++) n += steps[j].opcode == steps[i].opcode;
        steps[i].nth = n;
    }
    return steps;
}

std::vector<int> StepOpcodes(const std::vector<Step>& steps) {
    std::vector<int> ops;
    for (const Step& s : steps) ops.push_back(s.opcode);
    return ops;
}

std::string Head(const Procedure& p) {
    return std::string(kBanner) + "Upgrade file for " + p.model + " loaded\n";
}

std::string CurrentLine(const std::string& version) { return "Current firmware version: " + version + "\n"; }

std::string NewLine(const Procedure& p, const std::string& version) {
    return (p.rom ? "New firmware version: " : "New firmware version    : ") + version + "\n";
}

std::string Progress(const char* model, int ha, int target) {
    return std::string("Upgrade ") + model + " (HA:" + std::to_string(ha) + " ID:" + std::to_string(target) +
           ") in progress...Done\n";
}

// How the drive must look after the run.
enum class DriveEnd {
    Untouched,  // never changed
    Committed,  // holds the new image
    Partial,    // erased, then programmed with the pieces before the failed one
};

struct Expected {
    std::string out;
    int status = 0;
    std::vector<int> sent;  // opcodes to the drive, in order
    DriveEnd drive = DriveEnd::Untouched;
    int pieces_in = 0;      // for DriveEnd::Partial
    bool reported = false;  // the failure shows on standard error
    std::string note;       // else the program's own line there, if any
    std::string asked;      // the line before the question, first on standard error
};

// The line before the question: what a y does, or that the address holds
// no drive of the model.
std::string Asked(const Procedure& p, int ha, int target, const char* from, bool found = true) {
    const std::string at = "HA:" + std::to_string(ha) + " ID:" + std::to_string(target);
    if (!found) return "qvupdate: " + at + " holds no " + p.model + "\n";
    return std::string("qvupdate: y upgrades the ") + p.model + " at " + at + " from version " + from +
           " to " + p.to + "\n";
}

// in_use: the command failed with "ASPI busy", how an ASPI layer says that
// another program holds the drive.
Expected Expect(const Procedure& p, const std::vector<Step>& clean, std::size_t failed, bool in_use,
                Kind kind) {
    const Step& step = clean[failed];
    const std::string head = Head(p), done = Progress(p.model, kHa, kTarget);
    // Up to the failed command, then the version read after the transfer.
    const std::vector<int> all = StepOpcodes(clean);
    std::vector<int> upto(all.begin(), all.begin() + static_cast<long>(failed) + 1);
    std::vector<int> stopped = upto;
    stopped.push_back(clean.back().opcode);

    Expected e;
    // The question comes once upgrade has identified the drive, unless the
    // scan or the walk lost it.
    if (step.phase != Phase::ScanInquiry && step.phase != Phase::Identify)
        e.asked = Asked(p, kHa, kTarget, p.from, step.phase != Phase::IdentifyAgain);
    switch (step.phase) {
    case Phase::ScanTest:
    case Phase::MediumTest:
        e.out = head + kWarning + CurrentLine(p.from) + done + NewLine(p, p.to);
        e.sent = all;
        e.drive = DriveEnd::Committed;
        break;
    case Phase::ScanInquiry:
    case Phase::Identify:
        e.out = head + "\aNo upgradable drives found\n";
        e.sent = upto;
        if (in_use && step.phase == Phase::ScanInquiry) {
            e.status = 1;
            e.note = "qvupdate: 1 busy drive(s) could not be examined\n";
        }
        break;
    case Phase::IdentifyAgain:
        e.out = head + kWarning + (in_use ? "" : std::string("No ") + p.model + " found at HA:0 ID:2\n");
        e.note = in_use ? "qvupdate: drive HA:0 ID:2 is in use by another process\n" : "";
        e.status = 1;
        e.sent = upto;
        break;
    case Phase::Answered:
    case Phase::BeforeWrite:
        // The drive no longer answers as it did: it may be another one.
        e.out = head + kWarning;
        e.note = in_use ? "qvupdate: drive HA:0 ID:2 is in use by another process\n"
                        : "qvupdate: drive HA:0 ID:2 changed while the question waited; nothing written\n";
        e.status = 1;
        e.sent = upto;
        break;
    case Phase::LastBlock:
        // Only a flash known to be cut short is said so.
        e.out = head + kWarning + CurrentLine(p.from) + done + NewLine(p, p.to);
        e.sent = all;
        e.drive = DriveEnd::Committed;
        e.reported = true;
        break;
    case Phase::VerifyBlock:
        e.out = head + kWarning + CurrentLine(p.from) + done + NewLine(p, p.to) + "Error upgrading drive\n" +
                kPartlyWritten;
        e.status = 1;
        e.sent = stopped;
        e.drive = DriveEnd::Committed;
        e.reported = true;
        break;
    case Phase::LastMediumTest:
        e.out = head + kWarning + "Please remove medium from drive and try again.\n";
        e.status = 1;
        e.sent = upto;
        break;
    case Phase::VersionBefore:
        e.out = head + kWarning + CurrentLine("") + done + NewLine(p, p.to);
        e.sent = all;
        e.drive = DriveEnd::Committed;
        e.reported = true;
        break;
    case Phase::VersionAfter:
        // Asked quietly and again a second later: the drive may be
        // restarting. A command that hangs to its time-out outlasts the
        // wait: the drive may still be saving the image.
        e.out = head + kWarning + CurrentLine(p.from) + done + NewLine(p, kind == Kind::Hang ? "" : p.to);
        e.sent = all;
        if (kind != Kind::Hang) e.sent.push_back(clean.back().opcode);
        e.drive = DriveEnd::Committed;
        e.status = kind == Kind::Hang ? 1 : 0;
        if (kind == Kind::Hang)
            e.note =
                "qvupdate: drive HA:0 ID:2: the drive did not answer for 30 s after the upgrade; it may "
                "still be "
                "saving the firmware: wait, switch it off and on, then check it with -l\n";
        break;
    case Phase::Erase:
        // A flash that was not erased is not programmed: it keeps the old
        // firmware whole. But the drive did not say that it refused the
        // erase, so the flash may be anything.
        e.out = head + kWarning + CurrentLine(p.from) + done + NewLine(p, p.from) +
                "Error upgrading drive\n" + kPartlyWritten;
        e.status = 1;
        e.sent = stopped;
        e.reported = true;
        break;
    case Phase::Piece: {
        // The loader mode reads its version from the first block of the
        // flash: the new one once that block is in, the erased bytes
        // before. A WRITE BUFFER drive keeps its firmware until the
        // closing piece of a complete download, which may change it.
        std::string version = p.from;
        if (p.rom) version = step.piece > 1 ? p.to : "????";
        e.out = head + kWarning + CurrentLine(p.from) + done + NewLine(p, version) +
                "Error upgrading drive\n" + (p.rom || step.piece == p.pieces ? kPartlyWritten : "");
        e.status = 1;
        e.sent = stopped;
        e.drive = p.rom ? DriveEnd::Partial : DriveEnd::Untouched;
        e.pieces_in = step.piece - 1;
        e.reported = true;
        break;
    }
    }
    return e;
}

void ExpectDrive(aspisim::Device& drive, const Procedure& p, const Expected& e) {
    const Bytes flash(drive.flash().begin(), drive.flash().end());
    const std::string revision(drive.revision().begin(), drive.revision().end());
    const Bytes image = Image(p.type, p.to);
    switch (e.drive) {
    case DriveEnd::Untouched:
        EXPECT_TRUE(flash == Image(p.type, p.from)) << "the drive was changed";
        EXPECT_EQ(revision, p.from);
        break;
    case DriveEnd::Committed:
        EXPECT_EQ(revision, p.rom ? p.from : p.to);
        EXPECT_TRUE(flash == image) << "the drive does not hold the new image";
        break;
    case DriveEnd::Partial: {
        EXPECT_EQ(revision, p.from);
        ASSERT_EQ(flash.size(), image.size());
        const std::size_t in = static_cast<std::size_t>(e.pieces_in) * image.size() / p.pieces;
        Bytes expect(image.begin(), image.begin() + static_cast<long>(in));
        expect.resize(image.size(), 0xFF);
        EXPECT_TRUE(flash == expect) << "the flash holds more or less than the pieces sent";
        break;
    }
    }
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

void ExpectReport(qvtest::Ran r, const Expected& e, int opcode, Kind kind) {
    EXPECT_EQ(r.err.substr(0, e.asked.size()), e.asked);
    r.err.erase(0, e.asked.size());
    if (!e.reported) {
        // A note that ends in a blank is the start of the line the program says.
        if (e.note.ends_with(' '))
            EXPECT_EQ(r.err.find(e.note), 0u) << r.err;
        else
            EXPECT_EQ(r.err, e.note) << "a quiet probe printed";
        return;
    }
    // One report, for the failed command.
    EXPECT_EQ(Count(r.err, "scsi sendcmd: "), 1) << r.err;
    EXPECT_NE(r.err.find(std::string(CmdName(opcode)) + ": scsi sendcmd: "), std::string::npos) << r.err;
    if (kind == Kind::Hang) {
        EXPECT_NE(r.err.find("cmd timeout after"), std::string::npos) << r.err;
    }
}

struct TransferRun {
    int procedure;
    int step;
    Kind kind;
    int aspi_status;
};

std::vector<TransferRun> TransferRuns() {
    std::vector<TransferRun> runs;
    int turn = 0;
    for (int p = 0; p < static_cast<int>(std::size(kProcedures)); p++) {
        std::vector<Step> clean = CleanRun(kProcedures[p]);
        for (int s = 0; s < static_cast<int>(clean.size()); s++)
            for (Kind kind : {Kind::Check, Kind::Aspi, Kind::Hang})
                runs.push_back({p, s, kind, kAspiStatuses[turn++ % std::size(kAspiStatuses)]});
    }
    return runs;
}

// The run's name, e.g. G567L_12_WriteBuffer5_Hang.
std::string RunName(const TransferRun& run) {
    const Procedure& p = kProcedures[run.procedure];
    const Step step = CleanRun(p)[static_cast<std::size_t>(run.step)];
    char name[96];
    std::snprintf(name, sizeof name, "%s_%02d_%s%d_%s", p.name, run.step, OpName(step.opcode), step.nth,
                  KindName(run.kind, run.aspi_status).c_str());
    return name;
}

std::string Bus(const Procedure& p) { return Drive(kHa, kTarget, p.product, p.from); }

// Each run on a simulated bus of its own, whose drives live in the run's
// time.
class Sweep : public qvtest::ToolTest {
protected:
    qvtest::Ran RunOn(const Bytes& image, const std::vector<std::string>& more) {
        std::vector<std::string> args;
        if (!image.empty()) args.push_back(WriteImage(image));
        args.insert(args.end(), more.begin(), more.end());
        return Run(args, "y\n");
    }
};

TEST_F(Sweep, EveryCommandOfAnUpgradeFailedEachWayEndsSafely) {
    for (const TransferRun& run : TransferRuns()) {
        SCOPED_TRACE(RunName(run));
        const Procedure& p = kProcedures[run.procedure];
        const std::vector<Step> clean = CleanRun(p);
        const Step& step = clean[static_cast<std::size_t>(run.step)];
        const Expected e = Expect(p, clean, static_cast<std::size_t>(run.step),
                                  run.kind == Kind::Aspi && run.aspi_status == 0xE5, run.kind);
        SetBus(Bus(p) + FaultLine(kHa, kTarget, step.opcode, step.nth, run.kind, run.aspi_status));
        const qvtest::Ran r = RunOn(Image(p.type, p.to), {"-all"});
        EXPECT_EQ(r.out, e.out);
        EXPECT_EQ(r.status, e.status);
        ExpectReport(r, e, step.opcode, run.kind);
        // Exactly the commands a clean run sends up to the failed one; after
        // a failed transfer command only the version is read.
        EXPECT_EQ(bus->opcodes(kHa, kTarget), e.sent);
        ExpectDrive(bus->device(kHa, kTarget), p, e);
    }
}

// The positions of the sweep are every command of a clean run.
TEST_F(Sweep, EveryCommandOfACleanRunIsSwept) {
    for (const Procedure& p : kProcedures) {
        SCOPED_TRACE(p.name);
        SetBus(Bus(p));
        const qvtest::Ran r = RunOn(Image(p.type, p.to), {"-all"});
        EXPECT_EQ(r.out, Head(p) + kWarning + CurrentLine(p.from) + Progress(p.model, kHa, kTarget) +
                             NewLine(p, p.to));
        EXPECT_EQ(r.err, Asked(p, kHa, kTarget, p.from));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(bus->opcodes(kHa, kTarget), StepOpcodes(CleanRun(p)));
        Expected committed;
        committed.drive = DriveEnd::Committed;
        ExpectDrive(bus->device(kHa, kTarget), p, committed);
    }
}

// --- the scan and the listing ----------------------------------------------

// Three loader-mode drives, the first of them the one whose probe fails;
// their programming has no wait, so these runs are quick.
struct ProbeDrive {
    int ha, target;
    const char* revision;
};
const ProbeDrive kProbeDrives[] = {{0, 1, "1.01"}, {0, 3, "1.03"}, {1, 2, "1.02"}};
const Procedure& kLoader = kProcedures[0];

struct ProbeRun {
    bool listing;  // -l, else -all with an image
    int opcode;
    int nth;  // 1: the scan's probe; the listing's INQUIRY is the second
    Kind kind;
    int aspi_status;
};

std::vector<ProbeRun> ProbeRuns() {
    std::vector<ProbeRun> runs;
    int turn = 0;
    struct Where {
        bool listing;
        int opcode, nth;
    } where[] = {
        {false, TEST_UNIT_READY, 1}, {false, INQUIRY, 1}, {true, TEST_UNIT_READY, 1},
        {true, INQUIRY, 1},          {true, INQUIRY, 2},
    };
    for (const Where& w : where)
        for (Kind kind : {Kind::Check, Kind::Aspi, Kind::Hang})
            runs.push_back(
                {w.listing, w.opcode, w.nth, kind, kAspiStatuses[turn++ % std::size(kAspiStatuses)]});
    return runs;
}

std::string RunName(const ProbeRun& run) {
    return std::string(run.listing ? "Listing_" : "All_") + OpName(run.opcode) + std::to_string(run.nth) +
           "_" + KindName(run.kind, run.aspi_status);
}

TEST_F(Sweep, AProbeThatFailsLeavesItsDriveOutAndTheRunGoesOn) {
    const ProbeDrive& faulty = kProbeDrives[0];
    for (const ProbeRun& run : ProbeRuns()) {
        SCOPED_TRACE(RunName(run));
        // Only a failed INQUIRY hides a drive; the scan does not look at the
        // answer to TEST UNIT READY, and the listing probes afresh.
        const bool hidden = run.opcode == INQUIRY && run.nth == (run.listing ? 2 : 1);
        std::string description = "adapters 2\n";
        for (const ProbeDrive& d : kProbeDrives)
            description += Drive(d.ha, d.target, kLoader.product, d.revision);
        SetBus(description +
               FaultLine(faulty.ha, faulty.target, run.opcode, run.nth, run.kind, run.aspi_status));
        std::string expect = kBanner, asked;
        qvtest::Ran r;
        if (run.listing) {
            r = RunOn({}, {"-l"});
            for (const ProbeDrive& d : kProbeDrives)
                if (!(hidden && &d == &faulty))
                    expect += std::string("DRAVLIN ") + kLoader.product + " V" + d.revision +
                              " (HA:" + std::to_string(d.ha) + " ID:" + std::to_string(d.target) + ")\n";
        } else {
            r = RunOn(Image(kLoader.type, kLoader.to), {"-all"});
            expect = Head(kLoader) + kWarning;
            const ProbeDrive& first = hidden ? kProbeDrives[1] : faulty;
            asked = Asked(kLoader, first.ha, first.target, first.revision);
            for (const ProbeDrive& d : kProbeDrives)
                if (!(hidden && &d == &faulty))
                    expect += CurrentLine(d.revision) + Progress(kLoader.model, d.ha, d.target) +
                              NewLine(kLoader, kLoader.to);
        }
        EXPECT_EQ(r.out, expect);
        EXPECT_EQ(r.err, asked);  // probes are quiet
        EXPECT_EQ(r.status, 0);
        // A drive left out of the scan gets nothing after it.
        if (hidden && !run.listing) {
            EXPECT_EQ(bus->opcodes(faulty.ha, faulty.target), (std::vector<int>{TEST_UNIT_READY, INQUIRY}));
        }
        for (const ProbeDrive& d : kProbeDrives) {
            const bool upgraded = !run.listing && !(hidden && &d == &faulty);
            const auto& flash = bus->device(d.ha, d.target).flash();
            EXPECT_EQ(Bytes(flash.begin(), flash.end()) == Image(kLoader.type, kLoader.to), upgraded)
                << d.ha << ":" << d.target;
        }
    }
}

}  // namespace
