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

#include "aspihost/transcript.h"
#include "platform/aspi.h"

namespace aspihost {

// A file the layer writes lines to: the command log or a recording. Only a
// regular file is kept, never a FIFO, a device, a folder or a link at the
// name. A write that fails is said once and the file is left alone from
// then on: no command ever stops for it.
class LineFile {
public:
    enum class Mode {
        append,  // to what the file holds, creating it when there is none
        create,  // a new file only; what exists is refused
    };
    // Null after one line on standard error as `who` ("cannot open the
    // command log PATH: not a regular file"), errno kept.
    static std::shared_ptr<LineFile> open(const std::string& who, const std::string& what, const char* path,
                                          Mode mode);
    ~LineFile();
    LineFile(const LineFile&) = delete;
    LineFile& operator=(const LineFile&) = delete;

    // Writes `text` whole. False once the file is given up: the write that
    // failed is said, and a new file loses its part of the text as well,
    // so that it keeps whole lines.
    bool write(const std::string& text);
    bool kept() const { return !failed_; }

private:
    LineFile(std::string who, std::string what, std::string path, int fd, bool cut)
        : who_(std::move(who)), what_(std::move(what)), path_(std::move(path)), fd_(fd), cut_(cut) {}
    std::string who_, what_, path_;
    int fd_;
    bool cut_;  // a partial write is taken back (the file is ours alone)
    long long size_ = 0;
    bool failed_ = false;
};

// The command log and the one-line reports on standard error.
class Log {
public:
    // `chosen` is a file the layer was told to log to (ASPILogTo): it wins
    // over the layer's variable.
    explicit Log(std::string who, std::shared_ptr<LineFile> chosen = nullptr)
        : who_(std::move(who)), file_(std::move(chosen)), chosen_(file_ != nullptr) {}

    // Whole lines go to standard error in one piece, after "who: ".
    void report(const std::string& line) const;
    const std::string& who() const { return who_; }

    // Opens the file that the environment variable names, if it names one
    // and no file was chosen; false (reported) when it cannot be opened.
    bool open(const char* variable);

    // The lines go to `file` from now on, a chosen one.
    void use(std::shared_ptr<LineFile> file);

    // One line per request block and one per outcome, each appended with
    // one write.
    void line(const std::string& text) const;
    // Whether lines are kept: a line that costs (a checksum of the data)
    // is made only then.
    bool on() const { return file_ && file_->kept(); }

    // Opens `path` for appending, above the standard descriptors; null
    // after a report as `who` (errno kept).
    static std::shared_ptr<LineFile> open_file(const std::string& who, const char* path);

private:
    std::string who_;
    std::shared_ptr<LineFile> file_;
    bool chosen_ = false;
};

// The value of an environment variable, or null when unset or empty.
const char* env(const char* name);

std::string hex(const std::uint8_t* p, std::size_t n);

// Fills an ASPI text field with `s`, padded with blanks.
template <std::size_t N>
void text(BYTE (&field)[N], const char* s);

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
    // Every request block as it comes, in order, before the front end's own
    // checks (`aborted`: the command an abort would take back, if any). A
    // back end that answers from a recording compares it with what was
    // recorded: SS_COMP lets it go on, another status answers it at once.
    virtual BYTE admit(const Request& r, const Command* aborted) {
        (void)r;
        (void)aborted;
        return SS_COMP;
    }
    // Whether admit needs the CRC-32 of data sent.
    virtual bool checks_requests() const { return false; }
    // Around fork(): a lock of the back end's own is held across it, so
    // that the child does not inherit it locked by a thread it lacks.
    virtual void before_fork() {}
    virtual void after_fork() {}
};

class Host {
public:
    // Starts the layer's back end; it reports on the log and may open it.
    // `chosen_log`: a file the log goes to instead of the layer's variable.
    explicit Host(const struct Layer& layer, std::shared_ptr<LineFile> chosen_log = nullptr);
    ~Host();

    DWORD support_info() { return target_->support_info(); }
    DWORD send(void* srb);
    // The log goes to `file` from now on (see Log::use).
    void log_to(std::shared_ptr<LineFile> file);
    // A transcript goes to `file` from now on, numbered from 1, after its
    // header (the adapters asked of the back end now); false when the
    // header could not be written.
    bool record_to(std::shared_ptr<LineFile> file, const std::string& program);
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
        std::size_t number;  // in the recording; 0: none
        bool running = false;
        bool abandoned = false;  // aborted while running: its outcome is dropped
        std::vector<std::uint8_t> data;
    };
    // A request as it came: its number in the recording (0: none) and the
    // back end's verdict.
    struct Arrival {
        std::size_t number = 0;
        BYTE verdict = SS_COMP;
    };

    Arrival arrive(const Request& r, const Command* aborted);
    bool recording() const;
    // A synchronous request's record, its outcome with it.
    void record(const Arrival& a, const Request& r, const Outcome& o);
    bool inquire(SRB_HAInquiry& s);
    DWORD ha_inquiry(SRB_HAInquiry* s);
    DWORD device_type(SRB_GDEVBlock* s);
    DWORD exec(SRB_ExecSCSICmd* s);
    DWORD abort(SRB_Abort* s);
    DWORD reset(SRB_BusDeviceReset* s);
    bool pending(const void* srb) const;
    void enqueue(void* srb, Kind kind, const Command& c, Clock::time_point sent, std::size_t number);
    void run(int queue);
    void finish(Job& j, const Result& r);
    // The outcome of a command sent at `sent` (its data, moved in, at
    // `data`), in the log and the recording; `abandoned`: its abort came
    // too late, so its caller never sees this outcome.
    void outcome(const Command& c, Kind kind, const Result& r, Clock::time_point sent, std::size_t number,
                 const std::uint8_t* data = nullptr, bool abandoned = false) const;

    const struct Layer& layer_;
    std::unique_ptr<Log> log_;
    std::shared_ptr<LineFile> record_;
    std::size_t records_ = 0;  // requests recorded so far
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
// signalled), the file ASPILogTo chose and the recording; the next call
// starts afresh from the environment.
void reload();

// The back end of the process-wide instance, made on first use as by any
// entry point: what a layer's own entry points (beyond ASPI) ask.
Target& instance_target();

// ASPILogTo: the command log goes to `path` from now on, whether the
// instance exists yet or not. False when the file cannot be opened
// (reported) or no path is given.
bool log_to(const char* path);

// ASPIRecordTo: a transcript goes to the new file `path` from now on, its
// header naming `program`. False when the file cannot be created or its
// header written (reported).
bool record_to(const char* path, const char* program);

template <std::size_t N>
void text(BYTE (&field)[N], const char* s) {
    std::size_t n = 0;
    while (n < N && s[n] != '\0') n++;
    for (std::size_t i = 0; i < N; i++) field[i] = i < n ? static_cast<BYTE>(s[i]) : BYTE{' '};
}

}  // namespace aspihost
