#include "aspihost/host.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

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

// Seconds with microseconds, "0.004213".
std::string seconds(std::chrono::steady_clock::duration d) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(d).count();
    const std::string frac = std::to_string(us % 1000000);
    return std::to_string(us / 1000000) + "." + std::string(6 - frac.size(), '0') + frac;
}

std::vector<std::thread*>& orphans() {
    static std::vector<std::thread*> v;  // kept reachable: leak checkers stay quiet
    return v;
}

}  // namespace

std::uint32_t moved(const Command& c, const Result& r) {
    if (r.resid) return c.len - std::min(*r.resid, c.len);
    return r.status == SS_COMP ? c.len : 0;
}

Log::~Log() {
    if (owned_) ::close(fd_);
}

void Log::report(const std::string& line) const { std::cerr << (who_ + ": " + line + "\n") << std::flush; }

int Log::open_file(const std::string& who, const char* path) {
    int fd = platform::above_stdio(
        ::open(path, O_WRONLY | O_APPEND | O_CREAT | platform::kPrivate | platform::kBinary, 0644));
    if (fd < 0) {
        const int e = errno;
        Log(who).report(std::string("cannot open the command log ") + path + ": " + std::strerror(e));
        errno = e;
    }
    return fd;
}

bool Log::open(const char* variable) {
    if (fd_ >= 0 && !owned_) return true;  // a chosen file wins
    const char* path = env(variable);
    if (path == nullptr) return true;
    fd_ = open_file(who_, path);
    owned_ = fd_ >= 0;
    return fd_ >= 0;
}

void Log::use(int fd) {
    if (owned_) ::close(fd_);
    fd_ = fd;
    owned_ = false;
}

void Log::line(const std::string& text) const {
    if (fd_ < 0) return;
    std::string s = text + "\n";
    const char* p = s.data();
    std::size_t left = s.size();
    while (left > 0) {
        ssize_t n = ::write(fd_, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

Host::Host(const Layer& layer, int chosen_log)
    : log_(std::make_unique<Log>(layer.name, chosen_log)), target_(layer.make(*log_)) {}

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

void Host::log_to(int fd) {
    std::lock_guard<std::mutex> g(mu_);
    log_->use(fd);
}

// A forked child has no worker threads; the parent's are forgotten there
// and new ones start with the child's next commands.
void Host::after_fork_child() {
    for (auto& w : workers_) orphans().push_back(w.second.release());
    workers_.clear();
    target_->after_fork();
    mu_.unlock();
}

DWORD Host::ha_inquiry(SRB_HAInquiry* s) {
    log_->line("hainquiry " + std::to_string(s->SRB_HaId));
    if (!target_->valid_ha(s->SRB_HaId)) return s->SRB_Status = SS_INVALID_HA;
    text(s->HA_ManagerId, "ASPI for WIN32");
    std::memset(s->HA_Unique, 0, sizeof s->HA_Unique);
    target_->adapter_inquiry(*s);
    return s->SRB_Status = SS_COMP;
}

DWORD Host::device_type(SRB_GDEVBlock* s) {
    log_->line("devtype " + address(s->SRB_HaId, s->SRB_Target, s->SRB_Lun));
    if (!target_->valid_ha(s->SRB_HaId)) return s->SRB_Status = SS_INVALID_HA;
    BYTE type = 0;
    BYTE status = target_->device_type({s->SRB_HaId, s->SRB_Target, s->SRB_Lun}, type);
    if (status == SS_COMP) s->SRB_DeviceType = type;
    return s->SRB_Status = status;
}

bool Host::pending(const void* srb) const {
    return std::any_of(jobs_.begin(), jobs_.end(), [srb](const Job& j) { return j.srb == srb; });
}

void Host::enqueue(void* srb, Kind kind, const Command& c, Clock::time_point sent) {
    Plan p = target_->accept(c, kind == Kind::reset);
    Job j{srb, kind, Clock::now() + p.delay, c, sent, p.queue, p.hang, false, false, {}};
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
    if (log_->on())
        log_->line("exec " + address(s->SRB_HaId, s->SRB_Target, s->SRB_Lun) + " flags=0x" +
                   hex(&s->SRB_Flags, 1) + " len=" + std::to_string(s->SRB_BufLen) +
                   " cdb=" + hex(s->CDBByte, cdb_len) +
                   (data_out ? " crc32=" + hex32(crc32(s->SRB_BufPointer, s->SRB_BufLen)) : ""));
    Command c;
    c.at = {s->SRB_HaId, s->SRB_Target, s->SRB_Lun};
    std::memcpy(c.cdb, s->CDBByte, sizeof c.cdb);
    c.cdb_len = s->SRB_CDBLen;
    c.flags = s->SRB_Flags;
    c.data = s->SRB_BufPointer;
    c.len = s->SRB_BufLen;

    BYTE refused = SS_PENDING;
    if (!target_->valid_ha(s->SRB_HaId))
        refused = SS_INVALID_HA;
    else if (s->SRB_CDBLen == 0 || s->SRB_CDBLen > sizeof s->CDBByte ||
             (s->SRB_BufLen > 0 && s->SRB_BufPointer == nullptr))
        refused = SS_INVALID_SRB;
    else if (s->SRB_BufLen > MAX_BUFFER)
        refused = SS_BUFFER_TO_BIG;
    else if (pending(s))
        refused = SS_ASPI_IS_BUSY;
    if (refused != SS_PENDING) {
        outcome(c, Kind::exec, status_only(refused), sent);
        // A pending block still belongs to the command that runs it.
        return refused == SS_ASPI_IS_BUSY ? refused : (s->SRB_Status = refused);
    }
    s->SRB_Status = SS_PENDING;
    enqueue(s, Kind::exec, c, sent);
    return SS_PENDING;
}

// Synchronous: once it answers SS_COMP, or SS_ABORT_FAIL for a command the
// back end is running, the block and its event are the caller's alone
// again; the outcome of a command abandoned that way is dropped.
DWORD Host::abort(SRB_Abort* s) {
    log_->line("abort " + std::to_string(s->SRB_HaId));
    if (!target_->valid_ha(s->SRB_HaId)) return s->SRB_Status = SS_INVALID_HA;
    auto it = std::find_if(jobs_.begin(), jobs_.end(),
                           [s](const Job& j) { return j.srb == s->SRB_ToAbort && j.kind == Kind::exec; });
    if (it == jobs_.end()) return s->SRB_Status = SS_ABORT_FAIL;
    if (it->running) {
        it->abandoned = true;
        it->srb = nullptr;
        return s->SRB_Status = SS_ABORT_FAIL;
    }
    outcome(it->cmd, it->kind, status_only(SS_ABORTED), it->sent);
    static_cast<SRB_Header*>(it->srb)->SRB_Status = SS_ABORTED;
    jobs_.erase(it);
    return s->SRB_Status = SS_COMP;
}

DWORD Host::reset(SRB_BusDeviceReset* s) {
    const Clock::time_point sent = Clock::now();
    log_->line("reset " + address(s->SRB_HaId, s->SRB_Target, s->SRB_Lun));
    Command c;
    c.at = {s->SRB_HaId, s->SRB_Target, s->SRB_Lun};
    const BYTE refused = !target_->valid_ha(s->SRB_HaId) ? BYTE{SS_INVALID_HA}
                         : pending(s)                    ? BYTE{SS_ASPI_IS_BUSY}
                                                         : BYTE{SS_PENDING};
    if (refused != SS_PENDING) {
        outcome(c, Kind::reset, status_only(refused), sent);
        return refused == SS_ASPI_IS_BUSY ? refused : (s->SRB_Status = refused);
    }
    s->SRB_Status = SS_PENDING;
    enqueue(s, Kind::reset, c, sent);
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
                outcome(j.cmd, j.kind, r, j.sent, true);
            else
                finish(j, r);  // under the lock, so an abort never races it
        }
    }
}

void Host::outcome(const Command& c, Kind kind, const Result& r, Clock::time_point sent,
                   bool abandoned) const {
    if (!log_->on()) return;
    log_->line("done " + address(c.at.ha, c.at.target, c.at.lun) +
               " op=" + (kind == Kind::reset ? std::string("reset") : hex8(c.cdb[0])) + " status=0x" +
               hex8(r.status) + " hastat=0x" + hex8(r.hastat) + " targstat=0x" + hex8(r.targstat) +
               (r.sense.empty() ? "" : " sense=" + sense_text(r.sense)) +
               " moved=" + std::to_string(moved(c, r)) + " seconds=" + seconds(Clock::now() - sent) +
               (abandoned ? " abandoned" : ""));
}

void Host::finish(Job& j, const Result& r) {
    outcome(j.cmd, j.kind, r, j.sent);
    if (j.kind == Kind::reset) {
        auto* s = static_cast<SRB_BusDeviceReset*>(j.srb);
        s->SRB_HaStat = r.hastat;
        s->SRB_TargStat = 0;
        s->SRB_Status = r.status;
        if ((s->SRB_Flags & SRB_EVENT_NOTIFY) && s->SRB_PostProc) SetEvent(s->SRB_PostProc);
        return;
    }
    auto* s = static_cast<SRB_ExecSCSICmd*>(j.srb);
    bool data_in = (j.cmd.flags & SRB_DIR_IN) || !(j.cmd.flags & SRB_DIR_OUT);
    if (data_in && !j.data.empty()) std::memcpy(s->SRB_BufPointer, j.data.data(), j.data.size());
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
