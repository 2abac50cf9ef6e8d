// qvmkimage: writes a firmware image for a drive type, or the demo's sample
// images for every type that has one.
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "aspisim/fwimage.h"
#include "tool/fwtables.h"

namespace {

const char usage[] =
    "usage: qvmkimage TYPE VERSION OUTFILE [--length N] [--bad-checksum]\n"
    "       qvmkimage --samples DIR\n"
    "TYPE is a drive type with an image identity (11 to 22); VERSION is 4 characters.\n";

int fail(const std::string& what) {
    std::cerr << "qvmkimage: " << what << '\n';
    return 1;
}

bool number(std::string_view s, unsigned long long max, unsigned long long& v) {
    if (s.empty()) return false;
    v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        unsigned d = static_cast<unsigned>(c - '0');
        if (v > (max - d) / 10) return false;
        v = v * 10 + d;
    }
    return true;
}

int samples(const std::string& dir) {
    for (int type = 0; type < numProds; type++) {
        std::string name = fwimage::sample_name(type);
        if (name.empty()) continue;
        std::vector<std::uint8_t> img;
        std::string e = fwimage::build(type, fwimage::sample_version(type), {}, img);
        if (e.empty()) e = fwimage::write_file(dir + "/" + name + ".bin", img);
        if (!e.empty()) return fail(e);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string_view> pos;
    fwimage::Options opt;
    for (int i = 1; i < argc; i++) {
        std::string_view a = argv[i];
        if (a == "--samples" && i + 1 < argc && argc == 3) return samples(argv[i + 1]);
        if (a == "--bad-checksum") {
            opt.bad_checksum = true;
        } else if (a == "--length") {
            unsigned long long n = 0;
            if (i + 1 >= argc || !number(argv[i + 1], fwimage::MAX_LENGTH, n))
                return fail("--length needs a number of bytes up to " + std::to_string(fwimage::MAX_LENGTH));
            opt.length = static_cast<std::size_t>(n);
            i++;
        } else if (a.size() > 1 && a[0] == '-') {
            std::cerr << usage;
            return 2;
        } else {
            pos.push_back(a);
        }
    }
    unsigned long long type = 0;
    if (pos.size() != 3) {
        std::cerr << usage;
        return 2;
    }
    if (!number(pos[0], 1000, type)) return fail("TYPE must be a drive type number");
    std::vector<std::uint8_t> img;
    std::string e = fwimage::build(static_cast<int>(type), pos[1], opt, img);
    if (e.empty()) e = fwimage::write_file(std::string(pos[2]), img);
    if (!e.empty()) return fail(e);
    return 0;
}
