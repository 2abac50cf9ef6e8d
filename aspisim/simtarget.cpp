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
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "aspisim/serving.h"
#include "aspisim/tcmu.h"

namespace {

using aspisim::die;
using aspisim::tcmu::Command;

// The size of the uio device's one memory map, from sysfs.
std::size_t map_size(const std::string& uio) {
    std::string name = uio.substr(uio.rfind('/') + 1);
    std::ifstream in("/sys/class/uio/" + name + "/maps/map0/size");
    std::string text;
    if (!(in >> text)) die("cannot read the map size of " + name);
    return std::strtoull(text.c_str(), nullptr, 0);
}

// Tells the kernel to collect the answers (any four bytes written).
void tell(int fd, const std::string& uio) {
    std::uint32_t word = 0;
    while (::write(fd, &word, sizeof word) < 0)
        if (errno != EINTR) die("cannot tell " + uio + ": " + std::strerror(errno));
}

}  // namespace

int main(int argc, char** argv) {
    const aspisim::ServeArgs args =
        aspisim::serve_args(argc, argv, "simtarget UIO BUS HA:TARGET [--log FILE] [--flash FILE]");
    aspisim::Server server(args);
    const std::string& uio = args.where;

    int fd = ::open(uio.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) die("cannot open " + uio + ": " + std::strerror(errno));
    std::size_t size = map_size(uio);
    void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) die("cannot map " + uio + ": " + std::strerror(errno));
    aspisim::tcmu::Ring ring(static_cast<std::uint8_t*>(map), size);
    if (std::string why = ring.check(); !why.empty()) die(uio + ": " + why);

    for (;;) {
        bool answered = false;
        while (std::optional<Command> c = ring.take()) {
            // Nothing when the command never completes: the kernel's own
            // time-out for the backstore ends it.
            auto len = static_cast<std::uint32_t>(c->data.size());
            if (std::optional<aspisim::Answer> a = server.serve(c->cdb, c->cdb_len, c->data.data(), len)) {
                ring.answer(*c, *a);
                answered = true;
            }
        }
        if (!ring.broken().empty()) die(uio + ": " + ring.broken());
        if (answered) tell(fd, uio);
        // Waits for the kernel to put in more.
        std::uint32_t word = 0;
        ssize_t n = ::read(fd, &word, sizeof word);
        if (n < 0 && errno != EINTR) die("cannot wait on " + uio + ": " + std::strerror(errno));
    }
}
