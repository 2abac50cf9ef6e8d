// simusb: one drive of a bus description behind a USB mass-storage function
// (Bulk-Only Transport) that the kernel's FunctionFS carries: a gadget with
// this function, bound to a device controller (dummy_hcd's in the kernel
// guests), is a USB drive to the host, whose usb-storage and sr drivers
// send it SCSI commands. The drive model answers each as simtarget answers
// it (aspisim/serving.h). The gadget unbound from its controller and bound
// again is the drive's restart as the host sees it: a disconnect and a new
// enumeration, on a new SCSI host; the drive's state stays.
//
//   simusb FFS_DIR BUS HA:TARGET [--log FILE] [--flash FILE]
//
// FFS_DIR is where the function's FunctionFS is mounted. --log appends one
// line per command (and one per event of the function); --flash holds the
// drive's flash, rewritten after every change. It runs until it is killed.
#include <endian.h>
#include <fcntl.h>
#include <linux/usb/functionfs.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "aspisim/bot.h"
#include "aspisim/serving.h"

namespace {

using aspisim::die;
namespace bot = aspisim::bot;

void interrupted(int) {}

// The bulk pipes are served by a worker in sessions: each event of the
// function (enable, disable, unbind, a Bulk-Only reset) begins a new epoch,
// and a session serves the commands of one. A transfer still waiting when
// its epoch ends is interrupted (SIGUSR1), so that nothing of the old one
// (a status for a command the host gave up) reaches the host after the
// reset or the new enumeration.
class Function {
public:
    Function(const std::string& dir, aspisim::Server& server) : dir_(dir), server_(server) {
        ep0_ = ::open((dir + "/ep0").c_str(), O_RDWR | O_CLOEXEC);
        if (ep0_ < 0) die("cannot open " + dir + "/ep0: " + std::strerror(errno));
        for (const std::vector<std::uint8_t>& block : {bot::descriptors(), bot::strings()})
            if (::write(ep0_, block.data(), block.size()) != static_cast<ssize_t>(block.size()))
                die("FunctionFS in " + dir + " refused the function: " + std::strerror(errno));
    }

    // Handles the events of the control pipe; never returns.
    [[noreturn]] void run() {
        struct sigaction sa = {};
        sa.sa_handler = interrupted;  // no SA_RESTART: a waiting transfer ends with EINTR
        ::sigaction(SIGUSR1, &sa, nullptr);
        std::thread worker([this] { work(); });
        worker_ = worker.native_handle();
        worker.detach();
        for (;;) {
            usb_functionfs_event events[4];
            ssize_t n = ::read(ep0_, events, sizeof events);
            if (n < 0 && (errno == EINTR || errno == EIDRM)) continue;  // EIDRM: a request the host took back
            if (n < 0) die("cannot read the events of " + dir_ + "/ep0: " + std::strerror(errno));
            for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof events[0]; i++) event(events[i]);
        }
    }

private:
    void event(const usb_functionfs_event& e) {
        switch (e.type) {
        case FUNCTIONFS_ENABLE: begin("enable", true); break;
        case FUNCTIONFS_DISABLE: begin("disable", false); break;
        case FUNCTIONFS_UNBIND: begin("unbind", false); break;
        case FUNCTIONFS_BIND: server_.note("usb: bind"); break;
        case FUNCTIONFS_SETUP: setup(e.u.setup); break;
        default: break;  // suspend, resume
        }
    }

    // A request to the interface: its data stage, its status stage or a stall.
    void setup(const usb_ctrlrequest& r) {
        const bot::Request s{r.bRequestType, r.bRequest, le16toh(r.wValue), le16toh(r.wIndex),
                             le16toh(r.wLength)};
        std::uint8_t byte = 0;  // the only logical unit
        switch (bot::control(s)) {
        case bot::Control::max_lun: (void)!::write(ep0_, &byte, 1); break;
        case bot::Control::reset:
            begin("reset", enabled());
            (void)!::read(ep0_, &byte, 0);
            break;
        case bot::Control::stall:
            // The wrong direction stalls: a read where the host reads, a write where it writes.
            if (s.request_type & USB_DIR_IN)
                (void)!::read(ep0_, &byte, 0);
            else
                (void)!::write(ep0_, &byte, 0);
            break;
        }
    }

    bool enabled() {
        std::lock_guard<std::mutex> lock(mutex_);
        return enabled_;
    }

    // A new epoch; returns once no session of an older one is left.
    void begin(const char* what, bool enabled) {
        server_.note(std::string("usb: ") + what);
        std::unique_lock<std::mutex> lock(mutex_);
        enabled_ = enabled;
        ++epoch_;
        wake_.notify_all();
        for (int i = 0; i < 500 && serving_ != 0 && serving_ != epoch_; i++) {
            ::pthread_kill(worker_, SIGUSR1);
            wake_.wait_for(lock, std::chrono::milliseconds(10));
        }
    }

    bool current(unsigned long epoch) {
        std::lock_guard<std::mutex> lock(mutex_);
        return epoch_ == epoch;
    }

    void work() {
        unsigned long last = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] { return enabled_ && epoch_ != last; });
                serving_ = last = epoch_;
            }
            session(last);
            std::lock_guard<std::mutex> lock(mutex_);
            serving_ = 0;
            wake_.notify_all();
        }
    }

    // One transfer on a bulk pipe: all of `n` bytes, or (reading) up to the
    // host's short packet. False when the epoch ended or the pipe failed.
    bool transfer(unsigned long epoch, int fd, bool reading, std::uint8_t* p, std::size_t n,
                  std::size_t& moved) {
        moved = 0;
        while (moved < n) {
            if (!current(epoch)) return false;
            // One piece at a time: the kernel takes each into a buffer of its own.
            const std::size_t piece = std::min<std::size_t>(n - moved, 64 * 1024);
            ssize_t r = reading ? ::read(fd, p + moved, piece) : ::write(fd, p + moved, piece);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return false;
            moved += static_cast<std::size_t>(r);
            if (reading && static_cast<std::size_t>(r) < piece) break;
        }
        return true;
    }

    // A transfer in the wrong direction halts a pipe.
    static void halt(int fd, bool in) {
        std::uint8_t byte = 0;
        (void)!(in ? ::read(fd, &byte, 1) : ::write(fd, &byte, 1));
    }

    void session(unsigned long epoch) {
        const int in = ::open((dir_ + "/ep1").c_str(), O_RDWR | O_CLOEXEC);
        const int out = ::open((dir_ + "/ep2").c_str(), O_RDWR | O_CLOEXEC);
        if (in >= 0 && out >= 0) serve(epoch, in, out);
        if (in < 0 || out < 0)
            server_.note(std::string("usb: cannot open the bulk pipes: ") + std::strerror(errno));
        if (in >= 0) ::close(in);
        if (out >= 0) ::close(out);
    }

    void serve(unsigned long epoch, int in, int out) {
        // The packet size of the speed the host chose.
        usb_endpoint_descriptor desc = {};
        const std::uint32_t max_packet =
            ::ioctl(in, FUNCTIONFS_ENDPOINT_DESC, &desc) == 0 && desc.wMaxPacketSize
                ? le16toh(desc.wMaxPacketSize)
                : 512;
        std::vector<std::uint8_t> data;
        for (;;) {
            // Room for more than a wrapper, so that a longer one shows as such.
            std::uint8_t block[1024];
            std::size_t n = 0;
            if (!transfer(epoch, out, true, block, sizeof block, n)) return;
            const bot::Received r = bot::receive(block, n);
            if (!r.valid) {
                // Both pipes halted, and nothing read, until the host resets the drive.
                server_.note("usb: " + r.why + "; halted until a reset");
                halt(in, true);
                halt(out, false);
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] { return epoch_ != epoch; });
                return;
            }
            const bot::Cbw& c = r.cbw;
            bot::Ending e;
            if (!r.meaningful) {
                server_.note("usb: refused: " + r.why);
                e = bot::refused(c);
            } else {
                data.assign(c.length, 0);
                std::size_t got = 0;
                if (!c.in && !transfer(epoch, out, true, data.data(), c.length, got)) return;
                // Data the host did not send never reaches the drive.
                const auto len = static_cast<std::uint32_t>(c.in ? c.length : got);
                const std::optional<aspisim::Answer> a = server_.serve(c.cdb, c.cdb_len, data.data(), len);
                if (!a) continue;  // it hangs: no data, no status; the host's reset ends it
                e = bot::ending(c, *a, max_packet);
                if (!c.in) e.residue = std::max<std::uint32_t>(e.residue, c.length - len);
            }
            std::size_t sent = 0;
            if (e.send > 0 && !transfer(epoch, in, false, data.data(), e.send, sent)) return;
            if (e.halt) halt(c.in ? in : out, c.in);
            std::array<std::uint8_t, bot::CSW_BYTES> status = bot::csw(c.tag, e);
            if (!transfer(epoch, in, false, status.data(), status.size(), sent)) return;
        }
    }

    const std::string dir_;
    aspisim::Server& server_;
    int ep0_ = -1;
    pthread_t worker_{};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool enabled_ = false;
    unsigned long epoch_ = 0;
    unsigned long serving_ = 0;  // the epoch of the worker's session, 0 between sessions
};

}  // namespace

int main(int argc, char** argv) {
    const aspisim::ServeArgs args =
        aspisim::serve_args(argc, argv, "simusb FFS_DIR BUS HA:TARGET [--log FILE] [--flash FILE]");
    aspisim::Server server(args);
    Function(args.where, server).run();
}
