// The simulator's state file reader (StateFolder::load) on fuzzer-made
// files (state.h), in a state folder of its own (in /dev/shm where there
// is one: a file is written for every input).
//
// Checked: a refused file changes nothing in the drive and is said in one
// line that names it; an accepted one is what the drive then saves, byte
// for byte, and that read into a second drive of the same kind gives the
// same flash and revision. Nothing but the reader allocates a state's size
// for an input, so that the run stays fast.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "aspisim/device.h"
#include "aspisim/statefile.h"
#include "fuzz/statefile/state.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

struct Bed {
    Bed() {
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        dir = std::string(base) + "/fuzz-statefile-XXXXXX";
        require(mkdtemp(dir.data()) != nullptr);
        for (const aspisim::DeviceConf& c : state::drives()) {
            drives.emplace_back(c);
            kept.emplace_back(c);
        }
        require(folder.open(dir, drives.size()));
    }
    std::string path(const aspisim::Device& d) const {
        return dir + "/ha" + std::to_string(d.conf().ha) + "-t" + std::to_string(d.conf().target) + ".state";
    }

    std::string dir;
    std::vector<aspisim::Device> drives;
    std::vector<aspisim::Device> kept;  // each drive as the last accepted file left it
    std::vector<std::uint8_t> file;
    std::vector<std::string> said;
    aspisim::StateFolder folder{[this](const std::string& line) { said.push_back(line); }};
};

bool same(const aspisim::Device& a, const aspisim::Device& b) {
    return a.revision() == b.revision() && a.flash() == b.flash();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Bed bed;
    const state::Input in = state::decode(data, size);
    const std::size_t i = in.drive % bed.drives.size();
    aspisim::Device& d = bed.drives[i];
    aspisim::Device& kept = bed.kept[i];
    state::file(in, d.state_size(), bed.file);
    const std::string path = bed.path(d);

    // Written over the last file and cut to size, so that its pages stay.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    require(fd >= 0 &&
            ::write(fd, bed.file.data(), bed.file.size()) == static_cast<ssize_t>(bed.file.size()) &&
            ::ftruncate(fd, static_cast<off_t>(bed.file.size())) == 0);
    ::close(fd);

    bed.said.clear();
    if (!bed.folder.load(i, d)) {
        require(bed.said.size() == 1 && bed.said[0].starts_with(path + ": ") && same(d, kept));
        return 0;
    }
    require(bed.said.empty() && d.save_state() == bed.file);
    require(kept.load_state(bed.file) && same(d, kept));
    return 0;
}
