// Seeds of fuzz_statefile: each drive's saved state, cut short, one byte
// too long, of the other drive, and a few bytes. Usage: seeds FOLDER
#include <string>

#include "fuzz/seeds.h"
#include "fuzz/statefile/state.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const auto drives = state::drives();
    for (std::uint8_t i = 0; i < drives.size(); i++) {
        const std::vector<std::uint8_t> s = aspisim::Device(drives[i]).save_state();
        // The head and a little flash; the fill gives the rest.
        state::Input in{i, state::SIZED, 0, 0xFF, std::string(s.begin(), s.begin() + 48)};
        const std::string name = "drive" + std::to_string(i);
        seeds::write(argv[1], name, state::encode(in));
        in.change = -1;
        seeds::write(argv[1], name + "-cut", state::encode(in));
        in.change = 1;
        seeds::write(argv[1], name + "-long", state::encode(in));
        in.change = 0;
        in.drive = static_cast<std::uint8_t>(i + 1);
        seeds::write(argv[1], name + "-elsewhere", state::encode(in));
    }
    seeds::write(argv[1], "bytes", state::encode({0, 0, 0, 0, "ASPISIM1"}));
    return 0;
}
