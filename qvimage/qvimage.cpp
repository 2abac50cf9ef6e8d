// qvimage: tells what a firmware image is and whether qvupdate would take
// it, without a drive; and writes images for any drive type (tests, demo).
#include <cstring>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "fwimage/check.h"
#include "fwimage/fwimage.h"
#include "fwimage/fwtables.h"
#include "fwimage/imagefile.h"

namespace {

const char usage[] =
    "usage: qvimage info [--json] FILE...\n"
    "       qvimage make TYPE VERSION OUT [--length N] [--bad-checksum]\n"
    "       qvimage make --samples DIR\n"
    "TYPE is a drive type with an image identity (11 to 22); VERSION is 4 characters.\n";

int fail(const std::string& what) {
    std::cerr << "qvimage: " << what << '\n';
    return 1;
}

int bad_usage() {
    std::cerr << usage;
    return 2;
}

// A decimal number from 0 to max; none for anything else.
std::optional<unsigned long long> number(std::string_view s, unsigned long long max) {
    if (s.empty()) return std::nullopt;
    unsigned long long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        unsigned d = static_cast<unsigned>(c - '0');
        if (v > (max - d) / 10) return std::nullopt;
        v = v * 10 + d;
    }
    return v;
}

std::string hex(unsigned long v) {
    std::ostringstream s;
    s << "0x" << std::uppercase << std::hex << v;
    return s.str();
}

// Bytes as a JSON string: quotes, backslashes, control characters and bytes
// beyond ASCII escaped, so that any file name or version gives valid JSON.
std::string json(std::string_view bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            static const char digits[] = "0123456789abcdef";
            out += "\\u00";
            out += digits[c >> 4];
            out += digits[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// What info shows of one file.
struct Info {
    std::string file;
    fwimage::Report report;
    long long length = -1;  // -1: not read
    fwimage::Verdict verdict = fwimage::Verdict::unreadable;
};

Info examine_file(const char* path) {
    Info info;
    info.file = path;
    fwimage::ImageFile f = fwimage::read_image_file(path);
    if (f.status == fwimage::FileStatus::cannot_open) {
        std::cerr << "qvimage: " << path << ": " << std::strerror(f.error) << '\n';
        return info;
    }
    info.verdict = fwimage::Verdict::unknown;
    if (f.status == fwimage::FileStatus::ok) {
        info.report = fwimage::examine(f.bytes);
        info.length = f.size;
        info.verdict = info.report.verdict;
    }
    return info;
}

void print_text(const Info& i) {
    const fwimage::Report& r = i.report;
    std::cout << i.file << '\n';
    if (i.length >= 0) {
        std::cout << "  type       " << r.type;
        if (r.type >= 0) std::cout << " (" << image_model_name(r.type) << ")";
        std::cout << '\n';
        if (const IdentityRow* id = identity_row(r.type))
            std::cout << "  identity   " << json(id->text) << " at "
                      << hex(static_cast<unsigned long>(id->offset)) << '\n'
                      << "  version    " << json(r.version) << '\n';
        if (const ChecksumRow* c = r.sum.row) {
            std::cout << "  checksum   " << hex(static_cast<unsigned long>(c->start)) << " to "
                      << hex(static_cast<unsigned long>(c->stored_at - 1)) << ", stored at "
                      << hex(static_cast<unsigned long>(c->stored_at)) << '\n'
                      << "  stored     "
                      << (r.sum.stored < 0 ? "none" : hex(static_cast<unsigned long>(r.sum.stored))) << '\n'
                      << "  computed   " << hex(r.sum.computed) << '\n';
        }
        std::cout << "  length     " << i.length << " (the transfer sends " << r.needed << ", " << r.unchecked
                  << " of them unchecked)\n";
    }
    std::cout << "  verdict    " << fwimage::verdict_text(i.verdict) << '\n';
}

void print_json(const Info& i, bool last) {
    const fwimage::Report& r = i.report;
    const ChecksumRow* c = r.sum.row;
    std::cout << "  {\"file\": " << json(i.file) << ", \"type\": " << r.type
              << ", \"model\": " << json(image_model_name(r.type)) << ", \"version\": " << json(r.version)
              << ", \"checksum_start\": " << (c ? c->start : -1)
              << ", \"checksum_end\": " << (c ? c->stored_at : -1) << ", \"stored\": " << r.sum.stored
              << ", \"computed\": " << (c ? int{r.sum.computed} : -1) << ", \"length\": " << i.length
              << ", \"needed\": " << r.needed << ", \"unchecked\": " << r.unchecked
              << ", \"verdict\": " << json(fwimage::verdict_text(i.verdict)) << "}" << (last ? "\n" : ",\n");
}

int info(int argc, char** argv) {
    bool as_json = false;
    std::vector<const char*> files;
    for (int i = 0; i < argc; i++) {
        std::string_view a = argv[i];
        if (a == "--json")
            as_json = true;
        else if (a.size() > 1 && a[0] == '-')
            return bad_usage();
        else
            files.push_back(argv[i]);
    }
    if (files.empty()) return bad_usage();
    int status = 0;
    if (as_json) std::cout << "[\n";
    for (std::size_t n = 0; n < files.size(); n++) {
        Info i = examine_file(files[n]);
        if (i.verdict != fwimage::Verdict::valid) status = 1;
        if (as_json)
            print_json(i, n + 1 == files.size());
        else
            print_text(i);
    }
    if (as_json) std::cout << "]\n";
    return status;
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

int make(int argc, char** argv) {
    if (argc == 2 && std::string_view(argv[0]) == "--samples") return samples(argv[1]);
    std::vector<std::string_view> pos;
    fwimage::Options opt;
    for (int i = 0; i < argc; i++) {
        std::string_view a = argv[i];
        if (a == "--bad-checksum") {
            opt.bad_checksum = true;
        } else if (a == "--length") {
            const std::optional<unsigned long long> n =
                i + 1 < argc ? number(argv[i + 1], fwimage::MAX_LENGTH) : std::nullopt;
            if (!n)
                return fail("--length needs a number of bytes up to " + std::to_string(fwimage::MAX_LENGTH));
            opt.length = static_cast<std::size_t>(*n);
            i++;
        } else if (a.size() > 1 && a[0] == '-') {
            return bad_usage();
        } else {
            pos.push_back(a);
        }
    }
    if (pos.size() != 3) return bad_usage();
    const std::optional<unsigned long long> type = number(pos[0], 1000);
    if (!type) return fail("TYPE must be a drive type number");
    std::vector<std::uint8_t> img;
    std::string e = fwimage::build(static_cast<int>(*type), pos[1], opt, img);
    if (e.empty()) e = fwimage::write_file(std::string(pos[2]), img);
    if (!e.empty()) return fail(e);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string_view command = argc > 1 ? argv[1] : "";
    if (command == "info") return info(argc - 2, argv + 2);
    if (command == "make") return make(argc - 2, argv + 2);
    return bad_usage();
}
