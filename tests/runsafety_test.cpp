// What a real machine does to a run: signals during the transfer, a second
// run on the same drive, keys typed ahead, output that cannot be written,
// hostile addresses, drive texts and state folders. Each must leave the
// drive whole and the exit status true.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace e2e {
namespace {

const char kLoader[] = "*Loader Mode 1* ";
const char kG567L[] = "CD-R   QV-G567L ";
const char kHeldNotice[] = "qvupdate: firmware transfer in progress, the signal takes effect when it ends\n";

// The two transfer procedures, on one drive at 0,3.
struct Procedure {
    const char* name;
    int type;
    const char* product;
    int latency_ms;  // so that the transfer takes seconds
};
const Procedure kRom{"Loader", 11, kLoader, 200};
const Procedure kWriteBuffer{"WriteBuffer", 13, kG567L, 30};

// A sandbox with the drive, its image at "fw.bin", and the run's arguments.
struct Rig {
    Sandbox box;
    Bytes image;
    std::string file;
    Rig(const Procedure& p, bool slow) : image(Image(p.type, "1.10")) {
        box.SetBus((slow ? "latency " + std::to_string(p.latency_ms) + "\n" : std::string()) +
                   Drive(0, 3, p.product, "1.02"));
        file = box.WriteFile("fw.bin", image);
    }
    std::vector<std::string> Args() const { return {file, "dev=0,3,0"}; }
    bool Flashed() const {
        DriveState s = State(box, 0, 3);
        return s.saved && s.flash.size() == image.size() &&
               qvtest::crc32(s.flash.data(), s.flash.size()) == qvtest::crc32(image.data(), image.size());
    }
};

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// --- signals --------------------------------------------------------------

struct SignalCase {
    const Procedure* procedure;
    int signal;
    bool in_transfer;  // else at the confirmation, before any change
};

class Signals : public ::testing::TestWithParam<SignalCase> {};

TEST_P(Signals, TransferIsNeverCutShort) {
    const SignalCase& c = GetParam();
    Rig s(*c.procedure, c.in_transfer);
    Result r;
    auto send = [&] { kill(s.box.Child(), c.signal); };
    if (c.in_transfer) {
        // Once the first changing command is on the bus, the window is open.
        r = s.box.RunAfter(
            s.Args(), "in progress...",
            [&] {
                ASSERT_TRUE(WaitFor([&] { return !Changing(s.box.Log()).empty(); }));
                send();
            },
            "", "y\n");
    } else {
        r = s.box.RunAfter(s.Args(), "Continue? (y/n) ", send, "");
    }
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.signal, c.signal) << r.out << r.err;
    EXPECT_EQ(Count(r.err, kHeldNotice), c.in_transfer ? 1 : 0) << r.err;
    if (c.in_transfer) {
        EXPECT_TRUE(s.Flashed());
    } else {
        EXPECT_TRUE(Changing(s.box.Log()).empty());
        EXPECT_FALSE(State(s.box, 0, 3).saved);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Window, Signals,
    ::testing::Values(SignalCase{&kRom, SIGINT, true}, SignalCase{&kRom, SIGTERM, true},
                      SignalCase{&kRom, SIGHUP, true}, SignalCase{&kWriteBuffer, SIGINT, true},
                      SignalCase{&kWriteBuffer, SIGTERM, true}, SignalCase{&kWriteBuffer, SIGHUP, true},
                      SignalCase{&kRom, SIGINT, false}, SignalCase{&kWriteBuffer, SIGTERM, false},
                      // Every other signal that would end the run is held as well.
                      SignalCase{&kWriteBuffer, SIGUSR1, true}, SignalCase{&kRom, SIGALRM, true},
                      SignalCase{&kWriteBuffer, SIGXCPU, true}),
    [](const ::testing::TestParamInfo<SignalCase>& info) {
        return std::string(info.param.procedure->name) + "_" + sigabbrev_np(info.param.signal) +
               (info.param.in_transfer ? "_InTransfer" : "_AtTheQuestion");
    });

// A script's run ended by a signal still gets its document: in the
// transfer, once the outcome is said; at the question, as far as it got.
TEST(Signals, AScriptsRunLeavesItsDocument) {
    for (bool in_transfer : {true, false}) {
        Rig s(kWriteBuffer, in_transfer);
        std::vector<std::string> args = s.Args();
        args.push_back("--json");
        const auto send = [&] { kill(s.box.Child(), SIGINT); };
        Result r = in_transfer ? s.box.RunAfter(
                                     args, "in progress...",
                                     [&] {
                                         ASSERT_TRUE(WaitFor([&] { return !Changing(s.box.Log()).empty(); }));
                                         send();
                                     },
                                     "", "y\n")
                               : s.box.RunAfter(args, "Continue? (y/n) ", send, "");
        EXPECT_EQ(r.signal, SIGINT) << r.err;
        EXPECT_NE(r.out.find(in_transfer ? "\"outcome\": \"upgraded\"" : "\"outcome\": \"interrupted\""),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("\"complete\": false, \"status\": null}"), std::string::npos) << r.out;
        EXPECT_EQ(s.Flashed(), in_transfer);
    }
}

// --- exit statuses and output that cannot be written ---------------------

TEST(ExitStatus, FailuresAreNeverStatusZero) {
    struct Case {
        const char* name;
        std::string bus;
        std::vector<std::string> args;  // "FW" stands for the image
        std::string input;
        std::string stdout_to;
        int status;
        std::string err_tail;
        bool flashed;
        std::string stderr_to = "";
    } cases[] = {
        // The interactive loop stops at a failed piece, as the others do.
        {"interactive",
         Drive(0, 3, kG567L, "1.02") + "fail 0 3 0x3B 5\n",
         {"FW"},
         "y\ny\n",
         "",
         1,
         "cmd finished after 0.000s timeout 300s\n",
         false},
        // A refused bus leaves no error number behind: none is shown.
        {"errno 0",
         "adapters 99999999999999999999999999\n",
         {"-l"},
         "",
         "",
         1,
         ProgramFile("/qvupdate") + ": Cannot open SCSI driver.\n",
         false},
        {"full output",
         Drive(0, 3, kG567L, "1.02"),
         {"-l"},
         "",
         "/dev/full",
         1,
         ": No space left on device. Cannot write standard output.\n",
         false},
        // Nobody reads the output: the transfer still ends whole.
        {"closed output",
         Drive(0, 3, kG567L, "1.02"),
         {"FW", "-all"},
         "y\n",
         "|closed",
         1,
         ": Broken pipe. Cannot write standard output.\n",
         true},
        // A closed output goes nowhere, as an output to /dev/null does.
        {"no output", Drive(0, 3, kG567L, "1.02"), {"FW", "-all"}, "y\n", "|none", 0, "", true},
        // No write to standard error ends a run: the -ha: line comes first,
        // the report of the failing piece in mid-transfer.
        {"no error output",
         Drive(0, 3, kG567L, "1.02"),
         {"FW", "-all", "-ha:0"},
         "y\n",
         "",
         0,
         "",
         true,
         "|none"},
        {"full error output",
         Drive(0, 3, kG567L, "1.02"),
         {"FW", "-all", "-ha:0"},
         "y\n",
         "",
         0,
         "",
         true,
         "/dev/full"},
        {"full error output, failed piece",
         Drive(0, 3, kG567L, "1.02") + "fail 0 3 0x3B 5\n",
         {"FW", "-all"},
         "y\n",
         "",
         1,
         "",
         false,
         "/dev/full"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        box.SetBus(c.bus);
        box.SetStdout(c.stdout_to);
        box.SetStderr(c.stderr_to);
        Bytes image = Image(13, "1.10");
        std::vector<std::string> args = c.args;
        for (std::string& a : args)
            if (a == "FW") a = box.WriteFile("fw.bin", image);
        Result r = box.Run(args, c.input);
        EXPECT_EQ(r.status, c.status) << r.err;
        std::string err = ZeroTimes(r.err);
        EXPECT_TRUE(err.size() >= c.err_tail.size() &&
                    err.substr(err.size() - c.err_tail.size()) == c.err_tail)
            << err;
        EXPECT_EQ(State(box, 0, 3).saved, c.flashed);
        // Nothing the run opened took the place of its output.
        for (const Bytes& b : {box.ReadFile("log"), box.ReadFile("state/ha0-t3.lock")})
            EXPECT_EQ(Count(std::string(b.begin(), b.end()), "QVUpdate"), 0);
    }
}

// --- keys typed ahead -------------------------------------------------------

// Runs qvupdate on a pseudo-terminal: each step waits until the output shows
// its text (nothing: at once) and then types its keys.
struct Step {
    std::string wait_for;
    std::string keys;
    bool hang_up = false;  // the terminal goes away instead
};

// `shown`, when given, gets all the terminal showed after the last step.
int RunOnTerminal(const Sandbox& box, const std::vector<std::string>& args, const std::vector<Step>& steps,
                  std::string* shown_last = nullptr) {
    std::vector<std::string> env = box.Environment();
    std::string program = QvupdatePath();
    std::vector<char*> argv{program.data()}, envp;
    std::vector<std::string> copies = args;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0) return -1;
    if (pid == 0) {
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    std::string shown;
    for (const Step& step : steps) {
        bool seen = WaitFor([&] {
            pollfd p{master, POLLIN, 0};
            char buf[4096];
            if (poll(&p, 1, 0) > 0) {
                ssize_t n = read(master, buf, sizeof buf);
                if (n > 0) shown.append(buf, static_cast<std::size_t>(n));
            }
            return shown.find(step.wait_for) != std::string::npos;
        });
        EXPECT_TRUE(seen) << "never shown: " << step.wait_for << "\n" << shown;
        if (!seen) break;
        shown.clear();
        if (step.hang_up) {
            close(master);
            master = -1;
            break;
        }
        EXPECT_EQ(write(master, step.keys.data(), step.keys.size()), static_cast<ssize_t>(step.keys.size()));
    }
    // Drain the terminal until the run ends, so that it never blocks on it.
    char buf[4096];
    for (ssize_t n; master >= 0 && (n = read(master, buf, sizeof buf)) > 0;)
        shown.append(buf, static_cast<std::size_t>(n));
    if (shown_last != nullptr) *shown_last = shown;
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (master >= 0) close(master);
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : WIFSIGNALED(wstatus) ? 128 + WTERMSIG(wstatus) : -1;
}

TEST(TypeAhead, OnlyKeysTypedAfterAQuestionAnswerIt) {
    struct Case {
        const char* name;
        bool ask_per_drive;  // the interactive loop, else dev=
        std::vector<Step> steps;
        int status;
    } cases[] = {
        {"y ahead, n after", false, {{"", "y\n"}, {"Continue? (y/n) ", "n\n"}}, 1},
        {"n ahead, y after", false, {{"", "n\n"}, {"Continue? (y/n) ", "y\n"}}, 0},
        {"yy at the drive", true, {{"(y/n/a) ", "yy\n"}, {"Continue? (y/n) ", "n\n"}}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The slow bus makes sure the keys ahead come before the question.
        Rig s(kWriteBuffer, true);
        std::vector<std::string> args = c.ask_per_drive ? std::vector<std::string>{s.file} : s.Args();
        EXPECT_EQ(RunOnTerminal(s.box, args, c.steps), c.status);
        EXPECT_EQ(s.Flashed(), c.status == 0);
    }
}

// --- progress ----------------------------------------------------------------

TEST(Progress, AtATerminalTheBytesSentAreRewrittenInPlaceAndClearedBeforeDone) {
    Rig s(kWriteBuffer, false);
    const std::string total = std::to_string(s.image.size()),
                      head = "Upgrade QV-G567L (HA:0 ID:3) in progress...";
    const std::string last = head + " " + total + " of " + total + " bytes";
    std::string shown;
    ASSERT_EQ(RunOnTerminal(s.box, s.Args(), {{"Continue? (y/n) ", "y\n"}}, &shown), 0);
    // Standard output is the same terminal: the line is written again after
    // each carriage return, then blanked and written without the count.
    EXPECT_NE(shown.find(head + "\r" + head + " 8192 of " + total + " bytes\r"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\r" + last + "\r" + std::string(last.size(), ' ') + "\r" + head + "Done\r\n"),
              std::string::npos);
    // The report of a failing piece comes once the count is cleared.
    s.box.SetBus(Drive(0, 3, kG567L, "1.02") + "fail 0 3 0x3B 5\n");
    ASSERT_EQ(RunOnTerminal(s.box, s.Args(), {{"Continue? (y/n) ", "y\n"}}, &shown), 1);
    EXPECT_NE(shown.find(" 32768 of " + total + " bytes\r"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\r" + head + QvupdatePath() + ": "), std::string::npos) << shown;
}

TEST(Progress, ATerminalThatGoesAwayStopsNoTransfer) {
    // Its hang-up is held; every write to it fails from then on.
    Rig s(kRom, true);
    EXPECT_EQ(RunOnTerminal(s.box, s.Args(), {{"Continue? (y/n) ", "y\n"}, {" of 262144 bytes", "", true}}),
              128 + SIGHUP);
    EXPECT_TRUE(s.Flashed());
}

// A log under a file-size limit: its writes fail, nothing ends the run.
TEST(Progress, ALogBeyondTheFileSizeLimitStopsNoTransfer) {
    Rig s(kRom, false);
    constexpr rlim_t kLimit = 300000;  // above a saved state of the drive
    s.box.WriteFile("full.log", Bytes(kLimit - 500, '#'));
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit limit = before;
    limit.rlim_cur = kLimit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    std::vector<std::string> args = s.Args();
    args.insert(args.end(), {"--log", s.box.Path("full.log")});
    Result r = s.box.Run(args, "y\n");
    setrlimit(RLIMIT_FSIZE, &before);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(s.Flashed());
}

// --- one run per drive --------------------------------------------------------

TEST(OneRunPerDrive, ExactlyOneOfConcurrentRunsFlashes) {
    const char kInUse[] = "aspisim: drive 0:3 is in use by another process\n";
    struct Case {
        const Procedure* procedure;
        int runs;
        bool all;  // -all finds the drive busy in its scan; else dev=
    } cases[] = {{&kWriteBuffer, 2, false}, {&kRom, 4, false}, {&kRom, 2, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.runs << (c.all ? " -all" : " dev="));
        Rig s(*c.procedure, true);
        const std::vector<std::string> args = c.all ? std::vector<std::string>{s.file, "-all"} : s.Args();
        std::vector<std::future<Result>> runs;
        for (int i = 0; i < c.runs; i++)
            runs.push_back(std::async(std::launch::async, [&] { return s.box.Run(args, "y\n"); }));
        int flashed = 0;
        for (auto& f : runs) {
            Result r = f.get();
            ASSERT_FALSE(r.timed_out);
            // dev= is echoed on standard error before anything else.
            if (r.status == 0) {
                flashed++;
                EXPECT_EQ(Count(r.err, "aspisim"), 0) << r.err;
            } else {
                EXPECT_EQ(r.status, 1);
                EXPECT_EQ(Count(r.err, kInUse), 1) << r.err;
                EXPECT_EQ(Count(r.err, "qvupdate: 1 busy drive(s) could not be examined\n"), c.all ? 1 : 0);
                EXPECT_EQ(Count(r.err, "qvupdate: drive HA:0 ID:3 is in use by another process\n"),
                          c.all ? 0 : 1);
                EXPECT_EQ(Count(r.out, " found at HA:"), 0) << r.out;
            }
        }
        EXPECT_EQ(flashed, 1);
        // One transfer's commands, and a whole image saved.
        EXPECT_EQ(Execs(s.box.Log(), c.procedure == &kRom ? 0xE1 : 0x3B).size(),
                  c.procedure == &kRom ? 1u : 64u);
        EXPECT_TRUE(s.Flashed());
    }
}

TEST(OneRunPerDrive, ListingDuringAFlashLeavesTheDriveOut) {
    Rig s(kWriteBuffer, true);
    Result listing;
    Result r = s.box.RunAfter(
        s.Args(), "in progress...", [&] { listing = s.box.Run({"-l"}); }, "", "y\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(s.Flashed());
    // The drive another program holds may be the one looked for.
    EXPECT_EQ(listing.status, 1);
    EXPECT_EQ(listing.out, kBanner);
    EXPECT_EQ(
        listing.err,
        "aspisim: drive 0:3 is in use by another process\nqvupdate: 1 busy drive(s) could not be examined\n");
}

// --- addresses, limits and texts ---------------------------------------------

TEST(Addresses, NumbersBeyondAnIntAreRefused) {
    Sandbox box;
    box.SetBus(Drive(0, 2, kG567L, "1.00"));
    std::string file = box.WriteFile("fw.bin", Image(13, "1.10"));
    const std::string tail = "'. Cannot open SCSI driver.\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"0,4294967298,0", "Invalid target or lun specifier in '"},
        {"4294967296,2,0", "Invalid bus or target specifier in '"},
        {"0,2,4294967296", "Invalid lun specifier in '"},
        {"4294967298,0", "Invalid bus or target specifier in '"},
    };
    for (const auto& [address, message] : cases) {
        Result r = box.Run({file, "dev=" + address}, "y\n");
        EXPECT_EQ(r.err, QvupdatePath() + ": Invalid argument. " + message + address + tail);
        EXPECT_EQ(r.status, 22);  // EINVAL
    }
    EXPECT_TRUE(Execs(box.Log(), 0x12).empty());
    EXPECT_TRUE(Changing(box.Log()).empty());
}

TEST(Limits, DrivesBeyondTheTableAreSaidOnce) {
    const std::string notice = "qvupdate: more than 32 drives found, only the first 32 are used\n";
    for (int drives : {32, 33, 56}) {
        SCOPED_TRACE(drives);
        Sandbox box;
        std::string bus = "adapters 8\n";
        for (int i = 0; i < drives; i++)
            bus += "device " + std::to_string(i / 7) + " " + std::to_string(i % 7) + " type=5\n";
        box.SetBus(bus);
        Result r = box.Run({"-l"});
        EXPECT_EQ(r.err, drives > 32 ? notice : "");
        EXPECT_EQ(r.status, 0);
    }
}

TEST(DriveTexts, ControlCharactersPrintAsQuestionMarks) {
    Sandbox box;
    box.SetBus(
        "device 0 1 vendor=\"DRAVLIN \" product=\"\\x1B[2J\\x1B[H\\x7F\\x01 QV-X  \" revision=\"1.00\"\n" +
        Drive(0, 2, kG567L, "1\\x1B\\x0A0"));
    Result r = box.Run({"-l"});
    EXPECT_EQ(r.out, std::string(kBanner) +
                         "Dravlin drive ?[2J?[H?? QV-X   not recognized.\n"
                         "Contact Dravlin for an update. (HA:0 ID:1)\n"
                         "DRAVLIN CD-R   QV-G567L  V1??0 (HA:0 ID:2)\n");
}

// --- the simulator's state folder ------------------------------------------

TEST(StateFolder, HostileNamesAreRefusedAndNeverFollowed) {
    const std::string state = "ha0-t3";
    struct Case {
        const char* name;
        std::string folder;  // empty: the sandbox's
        std::function<void(Sandbox&)> plant;
        std::string err;  // the simulator's line; "@" stands for the folder
        bool refused;     // the whole layer, not just the drive
    } cases[] = {
        // Root ignores permission bits; sysfs refuses it all the same.
        {"unwritable folder", "/sys", nullptr, "cannot write the state folder /sys: Permission denied", true},
        {"state is a link", "",
         [&](Sandbox& b) {
             ASSERT_EQ(symlink(b.Path("victim").c_str(), b.Path("state/" + state + ".state").c_str()), 0);
         },
         "@/" + state + ".state: a symbolic link, not a saved state; remove it", true},
        {"state links to /dev/zero", "",
         [&](Sandbox& b) { ASSERT_EQ(symlink("/dev/zero", b.Path("state/" + state + ".state").c_str()), 0); },
         "@/" + state + ".state: a symbolic link, not a saved state; remove it", true},
        {"state is a FIFO", "",
         [&](Sandbox& b) { ASSERT_EQ(mkfifo(b.Path("state/" + state + ".state").c_str(), 0644), 0); },
         "@/" + state + ".state: not a regular file; remove it", true},
        {"state of 3 GiB", "",
         [&](Sandbox& b) {
             ASSERT_EQ(truncate(b.WriteFile("state/" + state + ".state", {}).c_str(), 3L << 30), 0);
         },
         "@/" + state + ".state: larger than a saved state of this drive; remove it", true},
        // The drive cannot be had; the others could.
        {"lock is a link", "",
         [&](Sandbox& b) {
             ASSERT_EQ(symlink(b.Path("victim").c_str(), b.Path("state/" + state + ".lock").c_str()), 0);
         },
         "cannot lock @/" + state + ".lock: Too many levels of symbolic links", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig s(kWriteBuffer, false);
        Bytes victim = {'k', 'e', 'e', 'p'};
        s.box.WriteFile("victim", victim);
        if (c.plant) c.plant(s.box);
        if (!c.folder.empty()) s.box.SetStateFolder(c.folder);
        Result r = s.box.Run({s.file, "-all"}, "y\n");
        std::string line = c.err;
        if (std::size_t at = line.find('@'); at != std::string::npos)
            line.replace(at, 1, s.box.Path("state"));
        EXPECT_EQ(Count(r.err, "aspisim: " + line + "\n"), 1) << r.err;
        // A refused layer has said why: no stale error number as the status.
        EXPECT_EQ(r.status, c.refused ? 1 : 0) << r.out << r.err;
        EXPECT_TRUE(Changing(s.box.Log()).empty());
        EXPECT_EQ(s.box.ReadFile("victim"), victim);
    }
}

TEST(StateFolder, CommitThatCannotBeSavedIsNotKept) {
    // The folder goes away during the transfer: the closing piece fails as a
    // hardware error and the drive keeps its old firmware.
    Rig s(kWriteBuffer, true);
    Result r = s.box.RunAfter(
        s.Args(), "in progress...",
        [&] { ASSERT_EQ(std::system(("rm -rf '" + s.box.Path("state") + "'").c_str()), 0); }, "", "y\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("New firmware version    : 1.02\nError upgrading drive\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("Sense Code: 0x44 Qual 0x00"), std::string::npos) << r.err;
    EXPECT_FALSE(State(s.box, 0, 3).saved);
}

}  // namespace
}  // namespace e2e
