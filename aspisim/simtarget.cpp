// simtarget: one drive of a bus description served as a real SCSI target,
// behind the kernel's user-space backstore (target_core_user). The kernel's
// SCSI target core hands the handler every command an initiator sends to
// the backstore's logical unit through /dev/uioN; the simulator's drive
// model answers it, with what the bus description does to it (`fail`,
// `hang`, `ignore`, `corrupt`, `swap`, `restart`, `moveto`). The program's
// waits through the Linux layer are never scaled, so neither is a restart
// here.
//
//   simtarget UIO BUS HA:TARGET [--log FILE] [--flash FILE]
//
// --log appends one line per command; --flash holds the drive's flash,
// rewritten after every change. The handler runs until it is killed.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "aspisim/busconf.h"
#include "aspisim/device.h"
#include "aspisim/faults.h"
#include "aspisim/tcmu.h"
#include "support/hexbytes.h"

namespace {

using aspisim::tcmu::Answer;
using aspisim::tcmu::Command;

[[noreturn]] void die(const std::string& why) {
    std::fprintf(stderr, "simtarget: %s\n", why.c_str());
    std::exit(1);
}

[[noreturn]] void usage() { die("usage: simtarget UIO BUS HA:TARGET [--log FILE] [--flash FILE]"); }

std::string hex(const std::uint8_t* p, std::size_t n) { return sup::hexbytes(p, n); }

// Writes all of `bytes`, or tells why not.
std::string write_all(int fd, const std::uint8_t* bytes, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, bytes, n);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return std::strerror(errno);
        bytes += w;
        n -= static_cast<std::size_t>(w);
    }
    return {};
}

// The size of the uio device's one memory map, from sysfs.
std::size_t map_size(const std::string& uio) {
    std::string name = uio.substr(uio.rfind('/') + 1);
    std::ifstream in("/sys/class/uio/" + name + "/maps/map0/size");
    std::string text;
    if (!(in >> text)) die("cannot read the map size of " + name);
    return std::strtoull(text.c_str(), nullptr, 0);
}

struct Options {
    std::string uio, bus, log, flash;
    int ha = -1, target = -1;
};

Options parse(int argc, char** argv) {
    Options o;
    std::vector<std::string> plain;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if ((a == "--log" || a == "--flash") && i + 1 < argc)
            (a == "--log" ? o.log : o.flash) = argv[++i];
        else
            plain.push_back(a);
    }
    if (plain.size() != 3 || std::sscanf(plain[2].c_str(), "%d:%d", &o.ha, &o.target) != 2) usage();
    o.uio = plain[0];
    o.bus = plain[1];
    return o;
}

class Handler {
public:
    Handler(const Options& o, aspisim::BusConfig bus, const aspisim::DeviceConf& conf)
        : options_(o), bus_(std::move(bus)), device_(conf), served_{conf.ha, conf.target} {
        if (!o.log.empty()) {
            log_ = ::open(o.log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (log_ < 0) die("cannot open " + o.log + ": " + std::strerror(errno));
        }
        save_flash();
    }

    // Nothing when the command never completes: the kernel's own time-out
    // for the backstore ends it. This handler serves one address: a drive
    // that moved away leaves it empty.
    std::optional<Answer> serve(Command& c) {
        const auto now = aspisim::Device::Clock::now();
        device_.settle(now);
        std::optional<Answer> a;
        if (device_.address() != served_) {
            a = aspisim::tcmu::scsi_answer(aspisim::no_device());
        } else if (const aspisim::FaultConf* fault = aspisim::next_fault(bus_, device_, c.cdb[0], now);
                   !fault || fault->kind != aspisim::FaultKind::hang) {
            auto len = static_cast<std::uint32_t>(c.data.size());
            a = aspisim::tcmu::scsi_answer(aspisim::carry_out(device_, fault, c.cdb, c.data.data(), len, now,
                                                              [this](aspisim::Outcome&) { save_flash(); }));
        }
        note(c, a);
        return a;
    }

private:
    void note(const Command& c, const std::optional<Answer>& a) {
        if (log_ < 0) return;
        std::string line = "cdb=" + hex(c.cdb, c.cdb_len) + " len=" + std::to_string(c.data.size());
        if (!a) {
            line += " hangs";
        } else {
            line += " status=" + hex(&a->status, 1);
            if (!a->sense.empty()) line += " sense=" + hex(a->sense.data(), a->sense.size());
        }
        line += '\n';
        write_all(log_, reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
    }

    void save_flash() {
        if (options_.flash.empty()) return;
        int fd = ::open(options_.flash.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) die("cannot write " + options_.flash + ": " + std::strerror(errno));
        std::string e = write_all(fd, device_.flash().data(), device_.flash().size());
        ::close(fd);
        if (!e.empty()) die("cannot write " + options_.flash + ": " + e);
    }

    const Options& options_;
    aspisim::BusConfig bus_;
    aspisim::Device device_;
    const aspisim::Address served_;
    int log_ = -1;
};

}  // namespace

int main(int argc, char** argv) {
    Options o = parse(argc, argv);
    aspisim::ParseResult parsed = aspisim::read_bus(o.bus.c_str());
    for (const std::string& e : parsed.errors) std::fprintf(stderr, "simtarget: %s\n", e.c_str());
    if (!parsed.ok) return 1;
    const aspisim::DeviceConf* conf = nullptr;
    for (const aspisim::DeviceConf& d : parsed.config.devices)
        if (d.ha == o.ha && d.target == o.target) conf = &d;
    if (conf == nullptr)
        die(o.bus + " has no device at " + std::to_string(o.ha) + ":" + std::to_string(o.target));
    aspisim::DeviceConf drive = *conf;
    Handler handler(o, std::move(parsed.config), drive);

    int fd = ::open(o.uio.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) die("cannot open " + o.uio + ": " + std::strerror(errno));
    std::size_t size = map_size(o.uio);
    void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) die("cannot map " + o.uio + ": " + std::strerror(errno));
    aspisim::tcmu::Ring ring(static_cast<std::uint8_t*>(map), size);
    if (std::string why = ring.check(); !why.empty()) die(o.uio + ": " + why);

    for (;;) {
        bool answered = false;
        while (std::optional<Command> c = ring.take()) {
            if (std::optional<Answer> a = handler.serve(*c)) {
                ring.answer(*c, *a);
                answered = true;
            }
        }
        if (!ring.broken().empty()) die(o.uio + ": " + ring.broken());
        // Tells the kernel to collect the answers.
        std::uint32_t word = 0;
        if (answered) {
            std::string e = write_all(fd, reinterpret_cast<std::uint8_t*>(&word), sizeof word);
            if (!e.empty()) die("cannot tell " + o.uio + ": " + e);
        }
        // Waits for the kernel to put in more.
        ssize_t n = ::read(fd, &word, sizeof word);
        if (n < 0 && errno != EINTR) die("cannot wait on " + o.uio + ": " + std::strerror(errno));
    }
}
