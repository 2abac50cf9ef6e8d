#include "aspihost/host.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "aspihost/crc32.h"
#include "platform/descriptors.h"
#include "platform/files.h"
#include "platform/threads.h"
#include "platform/winevent.h"
#include "support/hexbytes.h"

namespace aspihost {

using Clock = std::chrono::steady_clock;

const char* env(const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? v : nullptr;
}

std::string hex(const std::uint8_t* p, std::size_t n) { return sup::hexbytes(p, n); }

namespace {

std::string hex32(std::uint32_t v) {
    std::uint8_t b[4] = {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
    return hex(b, 4);
}

std::string address(int ha, int target, int lun) {
    return std::to_string(ha) + " " + std::to_string(target) + " " + std::to_string(lun);
}

std::string hex8(std::uint8_t v) { return hex(&v, 1); }

// Sense key, code and qualifier, "05/24/00", of fixed (70h, 71h) or
// descriptor (72h, 73h) sense data; a byte the data lacks reads as 00.
std::string sense_text(const std::vector<std::uint8_t>& s) {
    auto at = [&s](std::size_t i) { return i < s.size() ? s[i] : std::uint8_t{0}; };
    const bool descriptor = (at(0) & 0x7F) >= 0x72;
    const std::uint8_t key = (descriptor ? at(1) : at(2)) & 0x0F;
    return hex8(key) + "/" + hex8(descriptor ? at(2) : at(12)) + "/" + hex8(descriptor ? at(3) : at(13));
}

std::int64_t micros(std::chrono::steady_clock::duration d) {
    return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
}

// At least `width` digits.
std::string padded(long long v, std::size_t width) {
    const std::string s = std::to_string(v);
    return std::string(s.size() < width ? width - s.size() : 0, '0') + s;
}

// The time of day in UTC, "2025-01-31T09:15:02Z".
std::string utc_now() {
    using namespace std::chrono;
    const auto now = floor<seconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day ymd{day};
    const hh_mm_ss hms{now - day};
    return padded(int(ymd.year()), 4) + "-" + padded(unsigned(ymd.month()), 2) + "-" +
           padded(unsigned(ymd.day()), 2) + "T" + padded(hms.hours().count(), 2) + ":" +
           padded(hms.minutes().count(), 2) + ":" + padded(hms.seconds().count(), 2) + "Z";
}

// What the caller's buffer gets back: data in, or data whose direction the
// target decides.
bool moves_in(BYTE flags) { return (flags & SRB_DIR_IN) || !(flags & SRB_DIR_OUT); }

std::vector<std::thread*>& orphans() {
    static std::vector<std::thread*> v;  // kept reachable: leak checkers stay quiet
    return v;
}

}  // namespace

std::uint32_t moved(const Command& c, const Result& r) {
    if (r.resid) return c.len - std::min(*r.resid, c.len);
    return r.status == SS_COMP ? c.len : 0;
}

std::shared_ptr<LineFile> LineFile::open(const std::string& who, const std::string& what, const char* path,
                                         Mode mode) {
    // O_NONBLOCK: a FIFO at the name must not hold the open until a reader
    // comes; O_NOFOLLOW: a link at the name is refused, not followed.
    const int how = mode == Mode::create ? O_CREAT | O_EXCL : O_APPEND | O_CREAT;
    int fd = platform::above_stdio(::open(path,
                                          O_WRONLY | how | platform::kNoFollow | platform::kNoTerminal |
                                              platform::kNoWait | platform::kPrivate | platform::kBinary,
                                          0644));
    int e = errno;
    std::string why;
    if (fd < 0) {
        // A FIFO without a reader: the open would have waited for one.
        why = e == ENXIO ? "not a regular file" : e == EEXIST ? "already exists" : std::strerror(e);
    } else {
        struct stat st;
        if (::fstat(fd, &st) != 0) {
            e = errno;
            why = std::strerror(e);
        } else if (!S_ISREG(st.st_mode)) {
            e = EINVAL;
            why = "not a regular file";
        }
    }
    if (!why.empty()) {
        if (fd >= 0) ::close(fd);
        const std::string verb = mode == Mode::create ? "create" : "open";
        Log(who).report("cannot " + verb + " the " + what + " " + path + ": " + why);
        errno = e;
        return nullptr;
    }
    platform::make_blocking(fd);
    return std::shared_ptr<LineFile>(new LineFile(who, what, path, fd, mode == Mode::create));
}

LineFile::~LineFile() { ::close(fd_); }

bool LineFile::write(const std::string& text) {
    if (failed_) return false;
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd_, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int e = n < 0 ? errno : EIO;
            failed_ = true;
            if (cut_) platform::cut_file(fd_, size_);
            Log(who_).report("cannot write the " + what_ + " " + path_ + ": " + std::strerror(e) +
                             "; it is not kept from here on");
            errno = e;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    size_ += static_cast<long long>(text.size());
    return true;
}

// Straight to the descriptor, in one write: std::cerr would first flush the
// program's standard output (the streams are tied), so that a write the
// program made fails here, out of its sight.
void Log::report(const std::string& line) const {
    const std::string text = who_ + ": " + line + "\n";
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

std::shared_ptr<LineFile> Log::open_file(const std::string& who, const char* path) {
    return LineFile::open(who, "command log", path, LineFile::Mode::append);
}

bool Log::open(const char* variable) {
    if (chosen_) return true;  // a chosen file wins
    const char* path = env(variable);
    if (path == nullptr) return true;
    file_ = open_file(who_, path);
    return file_ != nullptr;
}

void Log::use(std::shared_ptr<LineFile> file) {
    file_ = std::move(file);
    chosen_ = true;
}

void Log::line(const std::string& text) const {
    if (on()) file_->write(text + "\n");
}

Host::Host(const Layer& layer, std::shared_ptr<LineFile> chosen_log)
    : layer_(layer),
      log_(std::make_unique<Log>(layer.name, std::move(chosen_log))),
      target_(layer.make(*log_)) {}

Host::~Host() {
    {
        std::lock_guard<std::mutex> g(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    for (auto& w : workers_) w.second->join();
}

DWORD Host::send(void* srb) {
    if (srb == nullptr) return SS_INVALID_SRB;
    auto* h = static_cast<SRB_Header*>(srb);
    std::lock_guard<std::mutex> g(mu_);
    if (!target_->ready()) return h->SRB_Status = SS_FAILED_INIT;
    switch (h->SRB_Cmd) {
    case SC_HA_INQUIRY: return ha_inquiry(static_cast<SRB_HAInquiry*>(srb));
    case SC_GET_DEV_TYPE: return device_type(static_cast<SRB_GDEVBlock*>(srb));
    case SC_EXEC_SCSI_CMD: return exec(static_cast<SRB_ExecSCSICmd*>(srb));
    case SC_ABORT_SRB: return abort(static_cast<SRB_Abort*>(srb));
    case SC_RESET_DEV: return reset(static_cast<SRB_BusDeviceReset*>(srb));
    default:
        log_->line("unknown 0x" + hex(&h->SRB_Cmd, 1) + " " + std::to_string(h->SRB_HaId));
        return h->SRB_Status = SS_INVALID_CMD;
    }
}

void Host::log_to(std::shared_ptr<LineFile> file) {
    std::lock_guard<std::mutex> g(mu_);
    log_->use(std::move(file));
}

bool Host::record_to(std::shared_ptr<LineFile> file, const std::string& program) {
    std::lock_guard<std::mutex> g(mu_);
    Header h;
    h.program = program;
    h.layer = layer_.name;
    h.layer_version = QV_VERSION;
    h.date = utc_now();
    const DWORD info = target_->support_info();
    h.status = static_cast<BYTE>(info >> 8);
    for (DWORD ha = 0; ha < (info & 0xFF); ha++) {
        SRB_HAInquiry s{};
        s.SRB_HaId = static_cast<BYTE>(ha);
        inquire(s);
        AdapterInfo a;
        a.count = s.HA_Count;
        a.id = s.HA_SCSI_ID;
        std::memcpy(a.identifier.data(), s.HA_Identifier, a.identifier.size());
        std::memcpy(a.unique.data(), s.HA_Unique, a.unique.size());
        h.adapters.push_back(a);
    }
    // Commands of an earlier recording end outside this one.
    for (Job& j : jobs_) j.number = 0;
    records_ = 0;
    record_ = file->write(header_text(h)) ? std::move(file) : nullptr;
    return record_ != nullptr;
}

// A forked child has no worker threads; the parent's are forgotten there
// and new ones start with the child's next commands. The recording stays
// the parent's: the child's requests would take the same numbers.
void Host::after_fork_child() {
    for (auto& w : workers_) orphans().push_back(w.second.release());
    workers_.clear();
    record_.reset();
    target_->after_fork();
    mu_.unlock();
}

bool Host::recording() const { return record_ && record_->kept(); }

Host::Arrival Host::arrive(const Request& r, const Command* aborted) {
    Arrival a;
    if (recording()) a.number = ++records_;
    a.verdict = target_->admit(r, aborted);
    return a;
}

void Host::record(const Arrival& a, const Request& r, const Outcome& o) {
    if (a.number != 0 && recording())
        record_->write(request_line(a.number, r) + outcome_lines(a.number, r.kind, o));
}

bool Host::inquire(SRB_HAInquiry& s) {
    if (!target_->valid_ha(s.SRB_HaId)) return false;
    text(s.HA_ManagerId, "ASPI for WIN32");
    std::memset(s.HA_Unique, 0, sizeof s.HA_Unique);
    target_->adapter_inquiry(s);
    return true;
}

DWORD Host::ha_inquiry(SRB_HAInquiry* s) {
    log_->line("hainquiry " + std::to_string(s->SRB_HaId));
    Request q;
    q.kind = RequestKind::hainquiry;
    q.at.ha = s->SRB_HaId;
    const Arrival a = arrive(q, nullptr);
    Outcome o;
    o.status = a.verdict != SS_COMP ? a.verdict : inquire(*s) ? BYTE{SS_COMP} : BYTE{SS_INVALID_HA};
    record(a, q, o);
    return s->SRB_Status = o.status;
}

DWORD Host::device_type(SRB_GDEVBlock* s) {
    log_->line("devtype " + address(s->SRB_HaId, s->SRB_Target, s->SRB_Lun));
    Request q;
    q.kind = RequestKind::devtype;
    q.at = {s->SRB_HaId, s->SRB_Target, s->SRB_Lun};
    const Arrival a = arrive(q, nullptr);
    Outcome o;
    if (a.verdict != SS_COMP) {
        o.status = a.verdict;
    } else if (!target_->valid_ha(s->SRB_HaId)) {
        o.status = SS_INVALID_HA;
    } else {
        BYTE type = 0;
        o.status = target_->device_type(q.at, type);
        if (o.status == SS_COMP) s->SRB_DeviceType = type, o.type = type;
    }
    record(a, q, o);
    return s->SRB_Status = o.status;
}

bool Host::pending(const void* srb) const {
    return std::any_of(jobs_.begin(), jobs_.end(), [srb](const Job& j) { return j.srb == srb; });
}

void Host::enqueue(void* srb, Kind kind, const Command& c, Clock::time_point sent, std::size_t number) {
    Plan p = target_->accept(c, kind == Kind::reset);
    Job j{srb, kind, Clock::now() + p.delay, c, sent, p.queue, p.hang, number, false, false, {}};
    j.cmd.unit = p.unit;
    j.cmd.note = p.note;
    if (c.len > 0) j.data.assign(c.data, c.data + c.len);
    jobs_.push_back(std::move(j));
    auto& worker = workers_[p.queue];
    if (!worker) worker = platform::start_worker([this, q = p.queue] { run(q); });
    cv_.notify_all();
}

DWORD Host::exec(SRB_ExecSCSICmd* s) {
    const Clock::time_point sent = Clock::now();
    std::size_t cdb_len = std::min<std::size_t>(s->SRB_CDBLen, sizeof s->CDBByte);
    bool data_out = (s->SRB_Flags & SRB_DIR_OUT) && s->SRB_BufLen > 0 && s->SRB_BufPointer != nullptr &&
                    s->SRB_BufLen <= MAX_BUFFER;
    Request q;
    q.at = {s->SRB_HaId, s->SRB_Target, s->SRB_Lun};
    q.cdb.assign(s->CDBByte, s->CDBByte + cdb_len);
    q.dir = direction(s->SRB_Flags);
    q.len = s->SRB_BufLen;
    if (data_out && (log_->on() || recording() || target_->checks_requests()))
        q.crc = crc32(s->SRB_BufPointer, s->SRB_BufLen);
    if (log_->on())
        log_->line("exec " + address(s->SRB_HaId, s->SRB_Target, s->SRB_Lun) + " flags=0x" +
                   hex(&s->SRB_Flags, 1) + " len=" + std::to_string(s->SRB_BufLen) +
                   " cdb=" + hex(s->CDBByte, cdb_len) + (q.crc ? " crc32=" + hex32(*q.crc) : ""));
    const Arrival a = arrive(q, nullptr);
    if (a.number != 0) record_->write(request_line(a.number, q));
    Command c;
    c.at = q.at;
    std::memcpy(c.cdb, s->CDBByte, sizeof c.cdb);
    c.cdb_len = s->SRB_CDBLen;
    c.flags = s->SRB_Flags;
    c.data = s->SRB_BufPointer;
    c.len = s->SRB_BufLen;

    BYTE refused = SS_PENDING;
    if (a.verdict != SS_COMP)
        refused = a.verdict;
    else if (!target_->valid_ha(s->SRB_HaId))
        refused = SS_INVALID_HA;
    else if (s->SRB_CDBLen == 0 || s->SRB_CDBLen > sizeof s->CDBByte ||
             (s->SRB_BufLen > 0 && s->SRB_BufPointer == nullptr))
        refused = SS_INVALID_SRB;
    else if (s->SRB_BufLen > MAX_BUFFER)
        refused = SS_BUFFER_TO_BIG;
    else if (pending(s))
        refused = SS_ASPI_IS_BUSY;
    if (refused != SS_PENDING) {
        outcome(c, Kind::exec, status_only(refused), sent, a.number);
        // A pending block still belongs to the command that runs it.
        return refused == SS_ASPI_IS_BUSY ? refused : (s->SRB_Status = refused);
    }
    s->SRB_Status = SS_PENDING;
    enqueue(s, Kind::exec, c, sent, a.number);
    return SS_PENDING;
}

// Synchronous: once it answers SS_COMP, or SS_ABORT_FAIL for a command the
// back end is running, the block and its event are the caller's alone
// again; the outcome of a command abandoned that way is dropped.
DWORD Host::abort(SRB_Abort* s) {
    log_->line("abort " + std::to_string(s->SRB_HaId));
    auto it = std::find_if(jobs_.begin(), jobs_.end(),
                           [s](const Job& j) { return j.srb == s->SRB_ToAbort && j.kind == Kind::exec; });
    const bool found = it != jobs_.end();
    Request q;
    q.kind = RequestKind::abort;
    q.at.ha = s->SRB_HaId;
    if (found && it->number != 0) q.aborts = it->number;
    const Arrival a = arrive(q, found ? &it->cmd : nullptr);
    Outcome o;
    if (a.verdict != SS_COMP)
        o.status = a.verdict;
    else if (!target_->valid_ha(s->SRB_HaId))
        o.status = SS_INVALID_HA;
    else if (!found)
        o.status = SS_ABORT_FAIL;
    else if (it->running) {
        it->abandoned = true;
        it->srb = nullptr;
        o.status = SS_ABORT_FAIL;
    } else {
        o.status = SS_COMP;
    }
    record(a, q, o);
    if (o.status == SS_COMP) {
        outcome(it->cmd, it->kind, status_only(SS_ABORTED), it->sent, it->number);
        static_cast<SRB_Header*>(it->srb)->SRB_Status = SS_ABORTED;
        jobs_.erase(it);
    }
    return s->SRB_Status = o.status;
}

DWORD Host::reset(SRB_BusDeviceReset* s) {
    const Clock::time_point sent = Clock::now();
    log_->line("reset " + address(s->SRB_HaId, s->SRB_Target, s->SRB_Lun));
    Request q;
    q.kind = RequestKind::reset;
    q.at = {s->SRB_HaId, s->SRB_Target, s->SRB_Lun};
    const Arrival a = arrive(q, nullptr);
    if (a.number != 0) record_->write(request_line(a.number, q));
    Command c;
    c.at = q.at;
    const BYTE refused = a.verdict != SS_COMP              ? a.verdict
                         : !target_->valid_ha(s->SRB_HaId) ? BYTE{SS_INVALID_HA}
                         : pending(s)                      ? BYTE{SS_ASPI_IS_BUSY}
                                                           : BYTE{SS_PENDING};
    if (refused != SS_PENDING) {
        outcome(c, Kind::reset, status_only(refused), sent, a.number);
        return refused == SS_ASPI_IS_BUSY ? refused : (s->SRB_Status = refused);
    }
    s->SRB_Status = SS_PENDING;
    enqueue(s, Kind::reset, c, sent, a.number);
    return SS_PENDING;
}

void Host::run(int queue) {
    std::unique_lock<std::mutex> g(mu_);
    while (!stop_) {
        auto next = jobs_.end();
        for (auto it = jobs_.begin(); it != jobs_.end(); ++it)
            if (it->queue == queue && !it->hang && !it->running &&
                (next == jobs_.end() || it->due < next->due))
                next = it;
        if (next == jobs_.end()) {
            cv_.wait(g);
        } else if (next->due > Clock::now()) {
            cv_.wait_until(g, next->due);
        } else {
            next->running = true;
            Command c = next->cmd;
            c.data = next->data.data();
            bool is_reset = next->kind == Kind::reset;
            g.unlock();
            Result r = is_reset ? target_->reset(c) : target_->execute(c);
            g.lock();
            Job j = std::move(*next);
            jobs_.erase(next);
            if (j.abandoned)
                outcome(j.cmd, j.kind, r, j.sent, j.number, j.data.data(), true);
            else
                finish(j, r);  // under the lock, so an abort never races it
        }
    }
}

void Host::outcome(const Command& c, Kind kind, const Result& r, Clock::time_point sent, std::size_t number,
                   const std::uint8_t* data, bool abandoned) const {
    const bool recorded = number != 0 && recording();
    if (!log_->on() && !recorded) return;
    const std::int64_t took = micros(Clock::now() - sent);
    const std::uint32_t n = moved(c, r);
    if (log_->on())
        log_->line("done " + address(c.at.ha, c.at.target, c.at.lun) +
                   " op=" + (kind == Kind::reset ? std::string("reset") : hex8(c.cdb[0])) + " status=0x" +
                   hex8(r.status) + " hastat=0x" + hex8(r.hastat) + " targstat=0x" + hex8(r.targstat) +
                   (r.sense.empty() ? "" : " sense=" + sense_text(r.sense)) + " moved=" + std::to_string(n) +
                   " seconds=" + seconds_text(took) + (abandoned ? " abandoned" : ""));
    if (!recorded) return;
    Outcome o;
    o.status = r.status;
    o.hastat = r.hastat;
    o.targstat = r.targstat;
    o.sense = r.sense;
    o.resid = r.resid;
    o.micros = took;
    o.abandoned = abandoned;
    if (kind == Kind::exec && data != nullptr && moves_in(c.flags)) o.data.assign(data, data + n);
    record_->write(outcome_lines(number, kind == Kind::reset ? RequestKind::reset : RequestKind::exec, o));
}

void Host::finish(Job& j, const Result& r) {
    outcome(j.cmd, j.kind, r, j.sent, j.number, j.data.data());
    if (j.kind == Kind::reset) {
        auto* s = static_cast<SRB_BusDeviceReset*>(j.srb);
        s->SRB_HaStat = r.hastat;
        s->SRB_TargStat = 0;
        s->SRB_Status = r.status;
        if ((s->SRB_Flags & SRB_EVENT_NOTIFY) && s->SRB_PostProc) SetEvent(s->SRB_PostProc);
        return;
    }
    auto* s = static_cast<SRB_ExecSCSICmd*>(j.srb);
    if (moves_in(j.cmd.flags) && !j.data.empty())
        std::memcpy(s->SRB_BufPointer, j.data.data(), j.data.size());
    s->SRB_HaStat = r.hastat;
    s->SRB_TargStat = r.targstat;
    if (!r.sense.empty()) {
        std::size_t room = std::min<std::size_t>(s->SRB_SenseLen, sizeof s->SenseArea);
        std::memset(s->SenseArea, 0, room);
        std::memcpy(s->SenseArea, r.sense.data(), std::min(room, r.sense.size()));
    }
    if ((s->SRB_Flags & SRB_ENABLE_RESIDUAL_COUNT) && r.resid)
        s->SRB_BufLen = std::min<DWORD>(*r.resid, s->SRB_BufLen);
    s->SRB_Status = r.status;  // last: a caller that polls sees a finished block
    if ((s->SRB_Flags & SRB_EVENT_NOTIFY) && s->SRB_PostProc) SetEvent(s->SRB_PostProc);
}

}  // namespace aspihost
