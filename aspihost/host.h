// The ASPI host side shared by every WNASPI32: request-block checks, the
// queues and their workers, abort, event signalling, the command log and
// fork handling, over a back end (a Target) that knows the adapters and
// devices and runs one command at a time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/aspi.h"

namespace aspihost {

// The command log and the one-line reports on standard error.
class Log {
public:
    // `chosen` is a file the layer was told to log to (ASPILogTo): it wins
    // over the layer's variable and stays its owner's to close.
    explicit Log(std::string who, int chosen = -1) : who_(std::move(who)), fd_(chosen) {}
    ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    // Whole lines go to standard error in one piece, after "who: ".
    void report(const std::string& line) const;

    // Opens the file that the environment variable names, if it names one
    // and no file was chosen; false (reported) when it cannot be opened.
    bool open(const char* variable);

    // The lines go to `fd` from now on, a chosen file that stays its
    // owner's; a file the variable named is closed.
    void use(int fd);

    // One line per request block and one per outcome, each appended with
    // one write.
    void line(const std::string& text) const;
    // Whether lines are kept: a line that costs (a checksum of the data)
    // is made only then.
    bool on() const { return fd_ >= 0; }

    // Opens `path` for appending, above the standard descriptors; -1 after
    // a report as `who` (errno kept).
    static int open_file(const std::string& who, const char* path);

private:
    std::string who_;
    int fd_ = -1;
    bool owned_ = false;  // opened from the variable
};

// The value of an environment variable, or null when unset or empty.
const char* env(const char* name);

std::string hex(const std::uint8_t* p, std::size_t n);

// Fills an ASPI text field with `s`, padded with blanks.
template <std::size_t N>
void text(BYTE (&field)[N], const char* s);

struct Address {
    int ha = 0;
    int target = 0;
    int lun = 0;
};

// How a command ended, in the terms of a request block.
struct Result {
    BYTE status = SS_COMP;
    BYTE hastat = HASTAT_OK;
    BYTE targstat = 0;
    std::vector<std::uint8_t> sense;
    std::optional<std::uint32_t> resid;  // bytes not moved, when the back end knows
};

// An outcome told by its statuses alone: no target status, sense or residual.
inline Result status_only(BYTE status, BYTE hastat = HASTAT_OK) {
    Result r;
    r.status = status;
    r.hastat = hastat;
    return r;
}

// One command as a back end runs it. `data` is the front end's own copy of
// the caller's buffer, so that a command abandoned by an abort never writes
// into memory its caller has taken back.
struct Command {
    Address at;
    std::uint8_t cdb[16] = {};
    std::size_t cdb_len = 0;
    BYTE flags = 0;  // SRB_DIR_IN, SRB_DIR_OUT
    std::uint8_t* data = nullptr;
    std::uint32_t len = 0;
    void* unit = nullptr;        // what accept() chose to run it on
    const void* note = nullptr;  // and anything else it wants back
};

// The bytes a command moved: all but the residual when the back end knows
// it, else all of them when it succeeded and none when it did not.
std::uint32_t moved(const Command& c, const Result& r);

// How an accepted command waits: commands of one queue run in order on one
// worker, different queues in parallel.
struct Plan {
    int queue = 0;
    std::chrono::milliseconds delay{0};
    bool hang = false;  // stays queued until it is aborted
    void* unit = nullptr;
    const void* note = nullptr;
};

class Target {
public:
    virtual ~Target() = default;
    // GetASPI32SupportInfo: the ASPI status in bits 8 to 15, the adapter
    // count in bits 0 to 7.
    virtual DWORD support_info() = 0;
    // False when the layer could not start; every request then fails.
    virtual bool ready() const = 0;
    virtual bool valid_ha(BYTE ha) = 0;
    // Fills the adapter's fields of a valid adapter.
    virtual void adapter_inquiry(SRB_HAInquiry& s) = 0;
    // SS_COMP with the peripheral device type, or a failure status.
    virtual BYTE device_type(const Address& at, BYTE& type) = 0;
    // Under the front end's lock, when an exec or a reset is queued.
    virtual Plan accept(const Command& c, bool reset) = 0;
    // On the queue's worker, without the front end's lock.
    virtual Result execute(const Command& c) = 0;
    virtual Result reset(const Command& c) = 0;
    // Around fork(): a lock of the back end's own is held across it, so
    // that the child does not inherit it locked by a thread it lacks.
    virtual void before_fork() {}
    virtual void after_fork() {}
};

// Longest data transfer the front end copies; longer ones are refused
// before anything is allocated.
constexpr std::uint32_t MAX_BUFFER = 1u << 24;

class Host {
public:
    // Starts the layer's back end; it reports on the log and may open it.
    // `chosen_log`: a file the log goes to instead of the layer's variable
    // (not closed here).
    explicit Host(const struct Layer& layer, int chosen_log = -1);
    ~Host();

    DWORD support_info() { return target_->support_info(); }
    DWORD send(void* srb);
    // The log goes to `fd` from now on (see Log::use).
    void log_to(int fd);
    // The back end, for a layer's own entry points beyond ASPI.
    Target& target() { return *target_; }

    void before_fork() {
        mu_.lock();
        target_->before_fork();
    }
    void after_fork_parent() {
        target_->after_fork();
        mu_.unlock();
    }
    void after_fork_child();

private:
    enum class Kind { exec, reset };
    using Clock = std::chrono::steady_clock;
    struct Job {
        void* srb;
        Kind kind;
        std::chrono::steady_clock::time_point due;
        Command cmd;
        Clock::time_point sent;
        int queue;
        bool hang;
        bool running = false;
        bool abandoned = false;  // aborted while running: its outcome is dropped
        std::vector<std::uint8_t> data;
    };

    DWORD ha_inquiry(SRB_HAInquiry* s);
    DWORD device_type(SRB_GDEVBlock* s);
    DWORD exec(SRB_ExecSCSICmd* s);
    DWORD abort(SRB_Abort* s);
    DWORD reset(SRB_BusDeviceReset* s);
    bool pending(const void* srb) const;
    void enqueue(void* srb, Kind kind, const Command& c, Clock::time_point sent);
    void run(int queue);
    void finish(Job& j, const Result& r);
    // The outcome line of a command sent at `sent`; `abandoned`: its abort
    // came too late, so its caller never sees this outcome.
    void outcome(const Command& c, Kind kind, const Result& r, Clock::time_point sent,
                 bool abandoned = false) const;

    std::unique_ptr<Log> log_;
    std::unique_ptr<Target> target_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::map<int, std::unique_ptr<std::thread>> workers_;
    std::list<Job> jobs_;
};

// What a WNASPI32 is made of: its name in reports and its back end, which
// opens the command log from a variable of its own. Each shared object
// defines one.
struct Layer {
    const char* name;
    std::unique_ptr<Target> (*make)(Log& log);
};
extern const Layer layer;

// Drops the instance with every queued command (their events are never
// signalled) and the file ASPILogTo chose; the next call starts afresh from
// the environment.
void reload();

// The back end of the process-wide instance, made on first use as by any
// entry point: what a layer's own entry points (beyond ASPI) ask.
Target& instance_target();

// ASPILogTo: the command log goes to `path` from now on, whether the
// instance exists yet or not. False when the file cannot be opened
// (reported) or no path is given.
bool log_to(const char* path);

template <std::size_t N>
void text(BYTE (&field)[N], const char* s) {
    std::size_t n = 0;
    while (n < N && s[n] != '\0') n++;
    for (std::size_t i = 0; i < N; i++) field[i] = i < n ? static_cast<BYTE>(s[i]) : BYTE{' '};
}

}  // namespace aspihost
