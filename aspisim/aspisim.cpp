// The simulated ASPI layer WNASPI32: the ASPI front end over virtual host
// adapters and devices. Commands complete on the front end's worker, which
// signals the event of the request block as the real layer would.
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "aspihost/host.h"
#include "aspisim/busconf.h"
#include "aspisim/device.h"
#include "aspisim/faults.h"
#include "aspisim/replay.h"
#include "aspisim/statefile.h"
#include "platform/aspi.h"

namespace aspisim {

namespace {

using aspihost::env;
using Clock = Device::Clock;

// A positive, finite decimal number; 1 for anything else.
double time_scale(const char* text) {
    if (text == nullptr || *text == '\0') return 1.0;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(v) || v <= 0.0) return 1.0;
    return v;
}

class Simulator : public aspihost::Target {
public:
    explicit Simulator(aspihost::Log& log) : log_(log) { ok_ = configure(); }

    DWORD support_info() override {
        if (!ok_) return DWORD{SS_FAILED_INIT} << 8;
        return DWORD{conf_.support} << 8 | static_cast<DWORD>(conf_.adapters);
    }

    bool ready() const override { return ok_; }

    bool valid_ha(BYTE ha) override { return ha < conf_.adapters; }

    void adapter_inquiry(SRB_HAInquiry& s) override {
        s.HA_Count = static_cast<BYTE>(conf_.adapters);
        s.HA_SCSI_ID = ADAPTER_SCSI_ID;
        aspihost::text(s.HA_Identifier, "ASPISIM");
        s.HA_Unique[2] = 0x02;            // residual counts reported
        s.HA_Unique[3] = MAX_TARGET + 1;  // targets per bus
        s.HA_Unique[6] = 0x01;            // longest transfer 0x10000, little-endian
    }

    BYTE device_type(const aspihost::Address& at, BYTE& type) override {
        std::lock_guard<std::mutex> g(mu_);
        Device* d = find(at.ha, at.target, at.lun, Clock::now());
        if (d == nullptr) return SS_NO_DEVICE;
        type = static_cast<BYTE>(d->conf().type);
        return SS_COMP;
    }

    // One queue for the whole bus, as one adapter firmware would run it.
    aspihost::Plan accept(const aspihost::Command& c, bool reset) override {
        std::lock_guard<std::mutex> g(mu_);
        const Clock::time_point now = Clock::now();
        Device* d = find(c.at.ha, c.at.target, c.at.lun, now);
        const FaultConf* fault = nullptr;
        // With a state folder a drive belongs to one process at a time;
        // what another process sends it is not counted.
        if (d != nullptr && !reset && state_.enabled()) {
            switch (state_.claim(static_cast<std::size_t>(d - devices_.data()), *d)) {
            case StateFolder::Claim::mine: break;
            case StateFolder::Claim::in_use: fault = &in_use(); break;
            case StateFolder::Claim::unavailable: fault = &unavailable(); break;
            }
        }
        if (d != nullptr && !reset && fault == nullptr) fault = next_fault(conf_, *d, c.cdb[0], now);
        aspihost::Plan p;
        p.delay = std::chrono::milliseconds(conf_.latency_ms);
        p.hang = fault && fault->kind == FaultKind::hang;
        p.unit = d;
        p.note = fault;
        return p;
    }

    aspihost::Result reset(const aspihost::Command& c) override {
        std::lock_guard<std::mutex> g(mu_);
        auto* device = static_cast<Device*>(c.unit);
        if (device) device->reset();
        return {
            device ? BYTE{SS_COMP} : BYTE{SS_ERR}, device ? BYTE{HASTAT_OK} : BYTE{HASTAT_SEL_TO}, 0, {}, {}};
    }

    aspihost::Result execute(const aspihost::Command& c) override {
        std::lock_guard<std::mutex> g(mu_);
        auto* device = static_cast<Device*>(c.unit);
        const auto* fault = static_cast<const FaultConf*>(c.note);
        Outcome o = no_device();
        if (device != nullptr) {
            const auto index = static_cast<std::size_t>(device - devices_.data());
            Keep keep;
            if (state_.enabled()) keep = [&](Outcome& out) { state_.save(index, *device, out); };
            o = carry_out(*device, fault, c.cdb, c.data, c.len, Clock::now(), keep);
        }
        // A residual is known for every command that completed, as the
        // adapter tells the program it reports one.
        std::optional<std::uint32_t> resid;
        if (o.status == SS_COMP) resid = o.resid;
        return {o.status, o.hastat, o.targstat, std::move(o.sense), resid};
    }

    void before_fork() override { mu_.lock(); }
    void after_fork() override { mu_.unlock(); }

private:
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

    void report(const std::string& line) { log_.report(line); }

    bool configure() {
        if (const char* path = env("ASPISIM_BUS")) {
            // A person must never take these drives for real ones.
            report(std::string("using the simulated bus described in ") + path);
            ParseResult r = read_bus(path);
            for (const std::string& e : r.errors) report(e);
            if (!r.ok) return false;
            conf_ = std::move(r.config);
        } else {
            report("using the built-in simulated bus");
            conf_ = default_bus();
        }
        devices_.reserve(conf_.devices.size());
        const double scale = time_scale(env("ASPISIM_TIME_SCALE"));
        for (const DeviceConf& d : conf_.devices) devices_.emplace_back(d, scale);

        if (!log_.open("ASPISIM_LOG")) return false;
        if (const char* dir = env("ASPISIM_STATE")) {
            if (!state_.open(dir, devices_.size())) return false;
            for (std::size_t i = 0; i < devices_.size(); i++)
                if (!state_.load(i, devices_[i])) return false;
        }
        return true;
    }

    // The device that answers at an address at `now`; none for a drive
    // restarting as an empty address, or moved away.
    Device* find(int ha, int target, int lun, Clock::time_point now) {
        if (lun != 0) return nullptr;
        for (Device& d : devices_) {
            d.settle(now);
            if (d.address() == Address{ha, target} && !d.absent()) return &d;
        }
        return nullptr;
    }

    aspihost::Log& log_;
    std::mutex mu_;  // the devices, between the caller and the worker
    bool ok_ = false;
    BusConfig conf_;
    std::vector<Device> devices_;
    StateFolder state_{[this](const std::string& line) { report(line); }};
};

double time_scale(const char* text);

// A recording to replay wins over the drive model.
std::unique_ptr<aspihost::Target> make(aspihost::Log& log) {
    if (const char* path = env("ASPISIM_REPLAY"))
        return make_replay(log, path, time_scale(env("ASPISIM_TIME_SCALE")));
    return std::make_unique<Simulator>(log);
}

}  // namespace

}  // namespace aspisim

const aspihost::Layer aspihost::layer{"aspisim", aspisim::make};

// For tests: drops the bus with every queued command (their events are never
// signalled) and reads the environment again. No other call may run meanwhile.
ASPI_EXPORT void ASPI_CALL aspisim_reload() { aspihost::reload(); }

// The factor the ASPI transport puts on its command waits (ASPISIM_TIME_SCALE,
// a positive decimal; 1 when unset or not one), so that tests can give up
// on a hung command in a fraction of a second. Only this layer exports it,
// and it answers from its own environment: a real drive's limits never
// follow a simulator's variable.
ASPI_EXPORT double ASPI_CALL aspisim_time_scale() {
    return aspisim::time_scale(aspihost::env("ASPISIM_TIME_SCALE"));
}
