#include "aspisim/serving.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "aspisim/faults.h"
#include "platform/aspi.h"
#include "support/hexbytes.h"

namespace aspisim {

namespace {

constexpr std::uint8_t CHECK_CONDITION = 0x02;
constexpr std::uint8_t ABORTED_COMMAND = 0x0B;
constexpr std::uint8_t DATA_PHASE_ERROR = 0x4B;
constexpr std::uint8_t ILLEGAL_REQUEST = 0x05;
constexpr std::uint8_t LUN_NOT_SUPPORTED = 0x25;

std::string program = "aspisim";

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

}  // namespace

Answer scsi_answer(const Outcome& o) {
    if (o.targstat != 0) return {o.targstat, o.sense};
    if (o.hastat == HASTAT_SEL_TO)
        return {CHECK_CONDITION, fixed_sense(ILLEGAL_REQUEST, LUN_NOT_SUPPORTED, 0)};
    if (o.status == SS_COMP) return {0, {}, o.resid};
    return {CHECK_CONDITION, fixed_sense(ABORTED_COMMAND, DATA_PHASE_ERROR, 0)};
}

[[noreturn]] void die(const std::string& why) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), why.c_str());
    std::exit(1);
}

ServeArgs serve_args(int argc, char** argv, const char* usage) {
    if (argc > 0) {
        program = argv[0];
        program = program.substr(program.rfind('/') + 1);
    }
    ServeArgs a;
    std::vector<std::string> plain;
    for (int i = 1; i < argc; i++) {
        std::string s = argv[i];
        if ((s == "--log" || s == "--flash") && i + 1 < argc)
            (s == "--log" ? a.log : a.flash) = argv[++i];
        else
            plain.push_back(s);
    }
    if (plain.size() != 3 || std::sscanf(plain[2].c_str(), "%d:%d", &a.ha, &a.target) != 2)
        die(std::string("usage: ") + usage);
    a.where = plain[0];
    a.bus = plain[1];
    return a;
}

Server::Server(const ServeArgs& args) : args_(args) {
    ParseResult parsed = read_bus(args.bus.c_str());
    for (const std::string& e : parsed.errors) std::fprintf(stderr, "%s: %s\n", program.c_str(), e.c_str());
    if (!parsed.ok) std::exit(1);
    bus_ = std::move(parsed.config);
    for (const DeviceConf& d : bus_.devices)
        if (d.ha == args.ha && d.target == args.target) device_.emplace(d);
    if (!device_)
        die(args.bus + " has no device at " + std::to_string(args.ha) + ":" + std::to_string(args.target));
    served_ = {args.ha, args.target};
    if (!args.log.empty()) {
        log_ = ::open(args.log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (log_ < 0) die("cannot open " + args.log + ": " + std::strerror(errno));
    }
    save_flash();
}

std::optional<Answer> Server::serve(const std::uint8_t (&cdb)[16], std::size_t cdb_len, std::uint8_t* data,
                                    std::uint32_t len) {
    const auto now = Device::Clock::now();
    device_->settle(now);
    std::optional<Answer> a;
    if (device_->address() != served_) {
        a = scsi_answer(no_device());
    } else if (const FaultConf* fault = next_fault(bus_, *device_, cdb[0], now);
               !fault || fault->kind != FaultKind::hang) {
        a = scsi_answer(carry_out(*device_, fault, cdb, data, len, now, [this](Outcome&) { save_flash(); }));
    }
    if (a && a->status == CHECK_CONDITION) device_->set_pending_sense(a->sense);

    std::string line = "cdb=" + hex(cdb, cdb_len) + " len=" + std::to_string(len);
    if (!a) {
        line += " hangs";
    } else {
        line += " status=" + hex(&a->status, 1);
        if (!a->sense.empty()) line += " sense=" + hex(a->sense.data(), a->sense.size());
    }
    note(line);
    return a;
}

void Server::note(const std::string& line) {
    if (log_ < 0) return;
    std::string l = line + '\n';
    write_all(log_, reinterpret_cast<const std::uint8_t*>(l.data()), l.size());
}

void Server::save_flash() {
    if (args_.flash.empty()) return;
    int fd = ::open(args_.flash.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) die("cannot write " + args_.flash + ": " + std::strerror(errno));
    std::string e = write_all(fd, device_->flash().data(), device_->flash().size());
    ::close(fd);
    if (!e.empty()) die("cannot write " + args_.flash + ": " + e);
}

}  // namespace aspisim
