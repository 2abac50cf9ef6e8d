// Runs the built qvupdate as a user would: a temporary folder per test with a
// bus description, images and the simulator's log and state, a child process
// with its own standard input, output and error, and a time limit.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "testing/runtexts.h"
#include "testing/simbus.h"
#include "testing/testsupport.h"

namespace e2e {

using Bytes = std::vector<unsigned char>;

struct Result {
    std::string out;
    std::string err;
    int status = -1;  // exit status, or -1 when killed by a signal
    int signal = 0;   // the signal that ended it
    bool timed_out = false;
};

// One request block as the simulator logs it.
struct LogEntry {
    std::string kind;  // exec, hainquiry, abort, reset
    int ha = -1;
    int target = -1;
    int lun = -1;
    int flags = 0;
    long len = 0;
    Bytes cdb;
    bool has_crc = false;
    std::uint32_t crc = 0;
    std::string line;
};

class Sandbox {
public:
    Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::string& dir() const { return dir_.path(); }
    std::string Path(const std::string& name) const { return dir_.Path(name); }

    // Writes the bus description the next runs use; without one the
    // simulator's built-in bus answers. The line by which the simulator
    // names a described bus is taken out of the runs' standard error.
    void SetBus(const std::string& text);
    // The simulator's time scale of the next runs (ASPISIM_TIME_SCALE),
    // which the program asks of the simulated layer for its command waits
    // and its own (a drive's restart, the read-back's second): 0.001 turns
    // the 300-second command wait into 0.3 seconds. A real layer never
    // follows it. By default 0.01: the program's own waits take a hundredth
    // of their time, a command may take three seconds.
    void SetTimeScale(const std::string& factor) { time_scale_ = factor; }
    // The simulator's state folder of the next runs (default: "state" here).
    void SetStateFolder(const std::string& dir) { state_ = dir; }
    // The next runs write standard output to this file instead of the
    // result; "|closed" gives them a pipe that nobody reads, "|none" no
    // standard output at all (descriptor 1 closed).
    void SetStdout(const std::string& path) { stdout_to_ = path; }
    // The same for standard error.
    void SetStderr(const std::string& path) { stderr_to_ = path; }
    // The program the next runs start instead of the built qvupdate, and a
    // variable of their environment (replacing the inherited one).
    void SetProgram(const std::string& path) { program_ = path; }
    void SetEnv(const std::string& name, const std::string& value) { env_.push_back(name + "=" + value); }
    std::string WriteFile(const std::string& name, const Bytes& data) const;
    Bytes ReadFile(const std::string& name) const;

    // Runs qvupdate with args and the given standard input (closed after
    // it), with the simulator's log and state in this folder.
    Result Run(const std::vector<std::string>& args, const std::string& input = "", int timeout_s = 60) const;
    // The same, but the input is held back until standard output (or
    // error) shows wait_for; then action runs, and the input follows. `first` goes to
    // the input at once, before wait_for.
    Result RunAfter(const std::vector<std::string>& args, const std::string& wait_for,
                    const std::function<void()>& action, const std::string& input,
                    const std::string& first = "") const;
    // Runs qvimage.
    Result Qvimage(const std::vector<std::string>& args) const;

    // The process of the run in progress, for an action to signal.
    int Child() const { return child_; }
    // The environment a run gets: the caller's, with the simulator's
    // variables of this sandbox.
    std::vector<std::string> Environment() const;

    // The request blocks of every run so far (without the outcome lines);
    // ClearLog() starts the log afresh.
    std::vector<LogEntry> Log() const;
    void ClearLog() const;

private:
    Result Spawn(const std::string& program, const std::vector<std::string>& args, const std::string& input,
                 int timeout_s, const std::string& wait_for = "", const std::function<void()>& action = {},
                 const std::string& first = "") const;
    qvtest::TempDir dir_{"qve2e"};
    bool has_bus_ = false;
    std::string time_scale_ = "0.01";
    std::string state_;
    std::string stdout_to_;
    std::string stderr_to_;
    mutable std::atomic<int> child_{-1};
    std::string program_;
    std::vector<std::string> env_;
};

// What a drive of the maker keeps between runs, from the simulator's state
// folder; `saved` is false while the drive was never changed.
struct DriveState {
    bool saved = false;
    std::string revision;
    Bytes flash;
};
DriveState State(const Sandbox& box, int ha, int target);

// Filters of a log.
std::vector<LogEntry> Execs(const std::vector<LogEntry>& log, int opcode);
// The commands sent to one address.
std::vector<LogEntry> To(const std::vector<LogEntry>& log, int ha, int target);
// Commands that change a drive: WRITE BUFFER and the flash erase and write.
std::vector<LogEntry> Changing(const std::vector<LogEntry>& log);
// The opcode of each command, in order.
std::vector<int> Opcodes(const std::vector<LogEntry>& log);

// Polls until done() holds or seconds have passed; false on time-out.
bool WaitFor(const std::function<bool()>& done, int seconds = 20);

// Path of the programs under test.
std::string QvupdatePath();
std::string QvimagePath();
// The file names of the programs under test: "qvupdate", or "qvupdate.exe"
// for Windows programs (QV_EXE_SUFFIX); their ASPI layer's, "WNASPI32" or
// "WNASPI32.DLL".
std::string ProgramFile(const std::string& name);
std::string LayerFile();

// The line on standard error before a question about a drive of the
// image's model: what a y does; and about an address without one.
std::string Yes(const std::string& model, int ha, int id, const std::string& from, const std::string& to);
std::string HoldsNo(const std::string& model, int ha, int id);

// What the tool's own tests make and compare too.
using qvtest::Drive;
using qvtest::Image;
using qvtest::JumperNotice;
using qvtest::kBanner;
using qvtest::kPartlyWritten;
using qvtest::kUsage;
using qvtest::kWarning;
using qvtest::ProductTable;
using qvtest::ZeroTimes;

// The report on standard error of a command that the simulator failed
// with its default fault (hardware error, internal target failure), as the
// program at path prints it; cdb in the report's hex form ("12 00 00 00 38 00").
std::string FaultReport(const std::string& cmd_name, const std::string& cdb);

}  // namespace e2e
