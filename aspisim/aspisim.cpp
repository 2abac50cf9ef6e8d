// The simulated ASPI layer WNASPI32: the published entry points over virtual
// host adapters and devices. Commands complete on a worker thread, which
// signals the event of the request block as the real layer would.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "aspisim/busconf.h"
#include "aspisim/crc32.h"
#include "aspisim/device.h"
#include "aspisim/statefile.h"
#include "platform/aspi.h"
#include "platform/winevent.h"

#define ASPISIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace aspisim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t MAX_BUS_FILE = 1u << 20;

const char* env(const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? v : nullptr;
}

// Whole lines go to standard error in one piece.
void report(const std::string& line) { std::cerr << ("aspisim: " + line + "\n") << std::flush; }

std::string hex(const std::uint8_t* p, std::size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::string hex32(std::uint32_t v) {
    std::uint8_t b[4] = {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
    return hex(b, 4);
}

// The whole file, up to one byte more than a bus description may have; false
// with errno set when it cannot be read (a folder, say).
bool read_file(const char* path, std::string& out) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int e = errno;
            ::close(fd);
            errno = e;
            return false;
        }
        if (n == 0 || out.size() > MAX_BUS_FILE) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

template <std::size_t N>
void text(BYTE (&field)[N], const char* s) {
    std::memset(field, ' ', N);
    std::memcpy(field, s, std::min(N, std::strlen(s)));
}

class Simulator {
public:
    Simulator() { ok_ = configure(); }

    ~Simulator() {
        {
            std::lock_guard<std::mutex> g(mu_);
            stop_ = true;
        }
        cv_.notify_all();
        if (worker_) worker_->join();
        if (log_fd_ >= 0) ::close(log_fd_);
    }

    DWORD support_info() const {
        if (!ok_) return DWORD{SS_FAILED_INIT} << 8;
        return DWORD{conf_.support} << 8 | static_cast<DWORD>(conf_.adapters);
    }

    DWORD send(void* srb) {
        if (srb == nullptr) return SS_INVALID_SRB;
        auto* h = static_cast<SRB_Header*>(srb);
        std::lock_guard<std::mutex> g(mu_);
        if (!ok_) return h->SRB_Status = SS_FAILED_INIT;
        switch (h->SRB_Cmd) {
        case SC_HA_INQUIRY: return ha_inquiry(static_cast<SRB_HAInquiry*>(srb));
        case SC_GET_DEV_TYPE: return device_type(static_cast<SRB_GDEVBlock*>(srb));
        case SC_EXEC_SCSI_CMD: return exec(static_cast<SRB_ExecSCSICmd*>(srb));
        case SC_ABORT_SRB: return abort(static_cast<SRB_Abort*>(srb));
        case SC_RESET_DEV: return reset(static_cast<SRB_BusDeviceReset*>(srb));
        default:
            log("unknown 0x" + hex(&h->SRB_Cmd, 1) + " " + std::to_string(h->SRB_HaId));
            return h->SRB_Status = SS_INVALID_CMD;
        }
    }

    // A forked child has no worker thread; the parent's is forgotten there
    // and a new one starts with the child's next command.
    void before_fork() { mu_.lock(); }
    void after_fork_parent() { mu_.unlock(); }
    void after_fork_child() {
        if (worker_) orphans().push_back(worker_.release());
        mu_.unlock();
    }

private:
    enum class Kind { exec, reset };
    struct Job {
        void* srb;
        Kind kind;
        Clock::time_point due;
        Device* device;
        const FaultConf* fault;
    };

    // BUSY, nothing moved: the drive is another process's.
    static const FaultConf& in_use() {
        static const FaultConf f = [] {
            FaultConf c;
            c.targstat = 0x08;
            return c;
        }();
        return f;
    }
    // A drive whose lock or state cannot be had: a hardware error.
    static const FaultConf& unavailable() {
        static const FaultConf f = [] {
            FaultConf c;
            c.sense = {0x70, 0, 0x04, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x44, 0};
            return c;
        }();
        return f;
    }

    static std::vector<std::thread*>& orphans() {
        static std::vector<std::thread*> v;  // kept reachable: leak checkers stay quiet
        return v;
    }

    bool configure() {
        if (const char* path = env("ASPISIM_BUS")) {
            std::string text;
            if (!read_file(path, text)) {
                report(std::string("cannot read the bus description ") + path + ": " + std::strerror(errno));
                return false;
            }
            if (text.size() > MAX_BUS_FILE) {
                report(std::string(path) + ": longer than " + std::to_string(MAX_BUS_FILE) + " bytes");
                return false;
            }
            ParseResult r = parse_bus(text, path);
            for (const std::string& e : r.errors) report(e);
            if (!r.ok) return false;
            conf_ = std::move(r.config);
        } else {
            report("using the built-in simulated bus");
            conf_ = default_bus();
        }
        devices_.reserve(conf_.devices.size());
        for (const DeviceConf& d : conf_.devices) devices_.emplace_back(d);

        if (const char* path = env("ASPISIM_LOG")) {
            log_fd_ = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            if (log_fd_ < 0) {
                report(std::string("cannot open the command log ") + path + ": " + std::strerror(errno));
                return false;
            }
        }
        if (const char* dir = env("ASPISIM_STATE")) {
            if (!state_.open(dir, devices_.size())) return false;
            for (std::size_t i = 0; i < devices_.size(); i++)
                if (!state_.load(i, devices_[i])) return false;
        }
        return true;
    }

    void log(const std::string& line) {
        if (log_fd_ < 0) return;
        std::string s = line + "\n";
        const char* p = s.data();
        std::size_t left = s.size();
        while (left > 0) {
            ssize_t n = ::write(log_fd_, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            p += n;
            left -= static_cast<std::size_t>(n);
        }
    }

    Device* find(int ha, int target, int lun) {
        if (lun != 0) return nullptr;
        for (Device& d : devices_)
            if (d.conf().ha == ha && d.conf().target == target) return &d;
        return nullptr;
    }

    bool valid_ha(BYTE ha) const { return ha < conf_.adapters; }

    DWORD ha_inquiry(SRB_HAInquiry* s) {
        log("hainquiry " + std::to_string(s->SRB_HaId));
        if (!valid_ha(s->SRB_HaId)) return s->SRB_Status = SS_INVALID_HA;
        s->HA_Count = static_cast<BYTE>(conf_.adapters);
        s->HA_SCSI_ID = ADAPTER_SCSI_ID;
        text(s->HA_ManagerId, "ASPI for WIN32");
        text(s->HA_Identifier, "ASPISIM");
        std::memset(s->HA_Unique, 0, sizeof s->HA_Unique);
        s->HA_Unique[3] = MAX_TARGET + 1;  // targets per bus
        s->HA_Unique[6] = 0x01;            // longest transfer 0x10000, little-endian
        return s->SRB_Status = SS_COMP;
    }

    DWORD device_type(SRB_GDEVBlock* s) {
        log("devtype " + std::to_string(s->SRB_HaId) + " " + std::to_string(s->SRB_Target) + " " +
            std::to_string(s->SRB_Lun));
        if (!valid_ha(s->SRB_HaId)) return s->SRB_Status = SS_INVALID_HA;
        Device* d = find(s->SRB_HaId, s->SRB_Target, s->SRB_Lun);
        if (d == nullptr) return s->SRB_Status = SS_NO_DEVICE;
        s->SRB_DeviceType = static_cast<BYTE>(d->conf().type);
        return s->SRB_Status = SS_COMP;
    }

    bool pending(const void* srb) const {
        return std::any_of(jobs_.begin(), jobs_.end(), [srb](const Job& j) { return j.srb == srb; });
    }

    void enqueue(void* srb, Kind kind, Device* d, const FaultConf* fault) {
        jobs_.push_back({srb, kind, Clock::now() + std::chrono::milliseconds(conf_.latency_ms), d, fault});
        if (!worker_) worker_ = std::make_unique<std::thread>([this] { run(); });
        cv_.notify_all();
    }

    DWORD exec(SRB_ExecSCSICmd* s) {
        std::size_t cdb_len = std::min<std::size_t>(s->SRB_CDBLen, sizeof s->CDBByte);
        bool data_out = (s->SRB_Flags & SRB_DIR_OUT) && s->SRB_BufLen > 0 && s->SRB_BufPointer != nullptr;
        log("exec " + std::to_string(s->SRB_HaId) + " " + std::to_string(s->SRB_Target) + " " +
            std::to_string(s->SRB_Lun) + " flags=0x" + hex(&s->SRB_Flags, 1) + " len=" +
            std::to_string(s->SRB_BufLen) + " cdb=" + hex(s->CDBByte, cdb_len) +
            (data_out ? " crc32=" + hex32(crc32(s->SRB_BufPointer, s->SRB_BufLen)) : ""));
        if (!valid_ha(s->SRB_HaId)) return s->SRB_Status = SS_INVALID_HA;
        if (s->SRB_CDBLen == 0 || s->SRB_CDBLen > sizeof s->CDBByte ||
            (s->SRB_BufLen > 0 && s->SRB_BufPointer == nullptr))
            return s->SRB_Status = SS_INVALID_SRB;
        if (pending(s)) return SS_ASPI_IS_BUSY;  // the block belongs to a running command

        Device* d = find(s->SRB_HaId, s->SRB_Target, s->SRB_Lun);
        const FaultConf* fault = nullptr;
        // With a state folder a drive belongs to one process at a time;
        // what another process sends it is not counted.
        if (d != nullptr && state_.enabled()) {
            switch (state_.claim(static_cast<std::size_t>(d - devices_.data()), *d)) {
            case StateFolder::Claim::mine: break;
            case StateFolder::Claim::in_use: fault = &in_use(); break;
            case StateFolder::Claim::unavailable: fault = &unavailable(); break;
            }
        }
        if (d != nullptr && fault == nullptr) {
            BYTE op = s->CDBByte[0];
            unsigned long n = d->count(op);
            for (const FaultConf& f : conf_.faults)
                if (f.ha == d->conf().ha && f.target == d->conf().target && f.opcode == op && f.nth == n)
                    fault = &f;
        }
        s->SRB_Status = SS_PENDING;
        enqueue(s, Kind::exec, d, fault);
        return SS_PENDING;
    }

    // Synchronous: once it returns, the aborted block and its event are the
    // caller's alone again.
    DWORD abort(SRB_Abort* s) {
        log("abort " + std::to_string(s->SRB_HaId));
        if (!valid_ha(s->SRB_HaId)) return s->SRB_Status = SS_INVALID_HA;
        auto it = std::find_if(jobs_.begin(), jobs_.end(),
                               [s](const Job& j) { return j.srb == s->SRB_ToAbort && j.kind == Kind::exec; });
        if (it == jobs_.end()) return s->SRB_Status = SS_ABORT_FAIL;
        static_cast<SRB_Header*>(it->srb)->SRB_Status = SS_ABORTED;
        jobs_.erase(it);
        return s->SRB_Status = SS_COMP;
    }

    DWORD reset(SRB_BusDeviceReset* s) {
        log("reset " + std::to_string(s->SRB_HaId) + " " + std::to_string(s->SRB_Target) + " " +
            std::to_string(s->SRB_Lun));
        if (!valid_ha(s->SRB_HaId)) return s->SRB_Status = SS_INVALID_HA;
        if (pending(s)) return SS_ASPI_IS_BUSY;
        s->SRB_Status = SS_PENDING;
        enqueue(s, Kind::reset, find(s->SRB_HaId, s->SRB_Target, s->SRB_Lun), nullptr);
        return SS_PENDING;
    }

    void run() {
        std::unique_lock<std::mutex> g(mu_);
        while (!stop_) {
            // A command that hangs stays queued until it is aborted.
            auto next = jobs_.end();
            for (auto it = jobs_.begin(); it != jobs_.end(); ++it)
                if (!(it->fault && it->fault->hang) && (next == jobs_.end() || it->due < next->due)) next = it;
            if (next == jobs_.end()) {
                cv_.wait(g);
            } else if (next->due > Clock::now()) {
                cv_.wait_until(g, next->due);
            } else {
                Job j = *next;
                jobs_.erase(next);
                complete(j);  // under the lock, so an abort never races it
            }
        }
    }

    void complete(const Job& j) {
        if (j.kind == Kind::reset) {
            auto* s = static_cast<SRB_BusDeviceReset*>(j.srb);
            if (j.device) j.device->reset();
            s->SRB_HaStat = j.device ? HASTAT_OK : HASTAT_SEL_TO;
            s->SRB_TargStat = 0;
            s->SRB_Status = j.device ? SS_COMP : SS_ERR;
            if ((s->SRB_Flags & SRB_EVENT_NOTIFY) && s->SRB_PostProc) SetEvent(s->SRB_PostProc);
            return;
        }
        auto* s = static_cast<SRB_ExecSCSICmd*>(j.srb);
        Outcome o;
        if (j.device == nullptr) {
            o = {SS_ERR, HASTAT_SEL_TO, 0, {}};
        } else if (j.fault) {
            o = {j.fault->status, HASTAT_OK, j.fault->targstat, j.fault->sense};
            if (o.targstat == 0x02) j.device->set_pending_sense(o.sense);
        } else {
            std::uint8_t cdb[16];
            std::memcpy(cdb, s->CDBByte, sizeof cdb);
            o = j.device->execute(cdb, s->SRB_BufPointer, s->SRB_BufLen);
            if (state_.enabled() && j.device->take_changed())
                state_.save(static_cast<std::size_t>(j.device - devices_.data()), *j.device, o);
        }
        s->SRB_HaStat = o.hastat;
        s->SRB_TargStat = o.targstat;
        if (!o.sense.empty()) {
            std::size_t room = std::min<std::size_t>(s->SRB_SenseLen, sizeof s->SenseArea);
            std::memset(s->SenseArea, 0, room);
            std::memcpy(s->SenseArea, o.sense.data(), std::min(room, o.sense.size()));
        }
        s->SRB_Status = o.status;  // last: a caller that polls sees a finished block
        if ((s->SRB_Flags & SRB_EVENT_NOTIFY) && s->SRB_PostProc) SetEvent(s->SRB_PostProc);
    }

    std::mutex mu_;
    std::condition_variable cv_;
    bool stop_ = false;
    bool ok_ = false;
    std::unique_ptr<std::thread> worker_;
    BusConfig conf_;
    std::vector<Device> devices_;
    std::vector<Job> jobs_;
    int log_fd_ = -1;
    StateFolder state_{report};
};

std::mutex instance_lock;
std::unique_ptr<Simulator> instance_ptr;

void fork_prepare() {
    instance_lock.lock();
    if (instance_ptr) instance_ptr->before_fork();
}
void fork_parent() {
    if (instance_ptr) instance_ptr->after_fork_parent();
    instance_lock.unlock();
}
void fork_child() {
    if (instance_ptr) instance_ptr->after_fork_child();
    instance_lock.unlock();
}

// Configured from the environment on first use.
Simulator& instance() {
    std::lock_guard<std::mutex> g(instance_lock);
    if (!instance_ptr) {
        static const int registered = pthread_atfork(fork_prepare, fork_parent, fork_child);
        (void)registered;
        instance_ptr = std::make_unique<Simulator>();
    }
    return *instance_ptr;
}

}  // namespace

}  // namespace aspisim

ASPISIM_EXPORT DWORD GetASPI32SupportInfo() { return aspisim::instance().support_info(); }

ASPISIM_EXPORT DWORD SendASPI32Command(LPSRB srb) { return aspisim::instance().send(srb); }

// The transport allocates its buffers itself; these are looked up, never called.
ASPISIM_EXPORT int GetASPI32Buffer(void*) { return 0; }
ASPISIM_EXPORT int FreeASPI32Buffer(void*) { return 0; }
ASPISIM_EXPORT int TranslateASPI32Address(DWORD*, DWORD*) { return 0; }

// For tests: drops the bus with every queued command (their events are never
// signalled) and reads the environment again. No other call may run meanwhile.
ASPISIM_EXPORT void aspisim_reload() {
    std::lock_guard<std::mutex> g(aspisim::instance_lock);
    aspisim::instance_ptr.reset();
}
