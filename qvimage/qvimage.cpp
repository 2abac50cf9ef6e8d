// qvimage: tells what a firmware image is and whether qvupdate would take
// it, without a drive; and writes images for any drive type (tests, demo).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "fwimage/check.h"
#include "fwimage/fwimage.h"
#include "fwimage/fwtables.h"
#include "support/jsontext.h"
#include "fwimage/imagefile.h"
#include "platform/files.h"

namespace {

using sup::json;
using sup::printable;

const char usage[] =
    "usage: qvimage info [--json] FILE...\n"
    "       qvimage make TYPE VERSION OUT [--length N] [--bad-checksum] [--force]\n"
    "       qvimage make --samples DIR\n"
    "       qvimage types\n"
    "       qvimage --help | --version\n"
    "TYPE is a drive type with an image (11 to 22) or its model (QV-G567L), as qvimage types\n"
    "lists them; VERSION is 4 characters.\n";

const char options[] =
    "  --json          info: one JSON array instead of text\n"
    "  --length N      make: the file is N bytes long (1 to 67108864), not as long as the transfer\n"
    "  --bad-checksum  make: the stored sum is off by one\n"
    "  --force         make: OUT may replace an existing file (never a symbolic link)\n"
    "  --samples DIR   make: one valid image per model, DIR/<model>.bin\n";

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
        std::cerr << "qvimage: " << printable(path) << ": " << std::strerror(f.error) << '\n';
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
    std::cout << printable(i.file) << '\n';
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

enum class Existing { refuse, replace };

// Creates `path`, which must not exist (not even as a link), holding
// `bytes`; 0, or the errno of what failed. A file it created but could not
// fill is removed again.
int create_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    int fd = ::open(
        path.c_str(),
        O_WRONLY | O_CREAT | O_EXCL | platform::kNoFollow | platform::kPrivate | platform::kBinary, 0644);
    if (fd < 0) return errno;
    int e = 0;
    for (std::size_t done = 0; done < bytes.size();) {
        auto n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            e = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && e == 0) e = errno;
    if (e != 0) ::unlink(path.c_str());
    return e;
}

// Writes an image as a file of its own: never through a symbolic link (a
// link at `path` is refused, whatever `existing` says), and never into a
// file that is there already. An existing file is replaced, when asked, by
// a new file renamed over it, so that a run that fails leaves it as it was
// and other names (hard links) of the old file keep their bytes.
std::string write_image(const std::string& path, const std::vector<std::uint8_t>& bytes, Existing existing) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(path, ec);
    if (fs::is_symlink(st)) return printable(path) + " is a symbolic link: qvimage never writes through one";
    const bool there = fs::exists(st);
    if (there && existing == Existing::refuse) return printable(path) + " exists (--force replaces it)";
    if (!there) {
        const int e = create_file(path, bytes);
        return e == 0 ? std::string() : "cannot write " + printable(path) + ": " + std::strerror(e);
    }
    // Beside it, so that the rename stays within one file system.
    for (int n = 0; n < 100; n++) {
        const std::string temp = path + ".tmp" + std::to_string(::getpid()) + "." + std::to_string(n);
        const int e = create_file(temp, bytes);
        if (e == EEXIST) continue;
        if (e != 0) return "cannot write " + printable(path) + ": " + std::strerror(e);
        if (platform::replace_file(temp.c_str(), path.c_str())) return {};
        const int r = errno;
        ::unlink(temp.c_str());
        return "cannot write " + printable(path) + ": " + std::strerror(r);
    }
    return "cannot write " + printable(path) + ": no free temporary name beside it";
}

int samples(const std::string& dir) {
    for (int type = 0; type < numProds; type++) {
        std::string name = fwimage::sample_name(type);
        if (name.empty()) continue;
        std::vector<std::uint8_t> img;
        std::string e = fwimage::build(type, fwimage::sample_version(type), {}, img);
        if (e.empty()) e = write_image(dir + "/" + name + ".bin", img, Existing::replace);
        if (!e.empty()) return fail(e);
    }
    return 0;
}

int make(int argc, char** argv) {
    if (argc == 2 && std::string_view(argv[0]) == "--samples") return samples(argv[1]);
    std::vector<std::string_view> pos;
    fwimage::Options opt;
    Existing existing = Existing::refuse;
    for (int i = 0; i < argc; i++) {
        std::string_view a = argv[i];
        if (a == "--bad-checksum") {
            opt.bad_checksum = true;
        } else if (a == "--force") {
            existing = Existing::replace;
        } else if (a == "--length") {
            const std::optional<unsigned long long> n =
                i + 1 < argc ? number(argv[i + 1], fwimage::MAX_LENGTH) : std::nullopt;
            if (!n || *n == 0)
                return fail("--length needs a number of bytes from 1 to " +
                            std::to_string(fwimage::MAX_LENGTH));
            opt.length = static_cast<std::size_t>(*n);
            i++;
        } else if (a.size() > 1 && a[0] == '-') {
            return bad_usage();
        } else {
            pos.push_back(a);
        }
    }
    if (pos.size() != 3) return bad_usage();
    const std::optional<unsigned long long> number_given = number(pos[0], 1000);
    int type = number_given ? static_cast<int>(*number_given) : image_type(pos[0], pos[1]);
    if (type < 0) return fail("no image is for a model " + printable(pos[0]) + " (qvimage types lists them)");
    std::vector<std::uint8_t> img;
    std::string e = fwimage::build(type, pos[1], opt, img);
    if (e.empty()) e = write_image(std::string(pos[2]), img, existing);
    if (!e.empty()) return fail(e);
    return 0;
}

// The types with an image and their models; a model that two types share
// is told apart by the version (type_by_revision), which the note says.
int types() {
    for (int t = 0; t < numProds; t++) {
        if (identity_row(t) == nullptr) continue;
        const std::string_view model = image_model_name(t);
        std::string note;
        if (t == LOADER_TYPE)
            note = "loader mode";
        else if (image_type(model, "1.10") != image_type(model, "1.00"))
            note = image_type(model, "1.10") == t ? "version with 1 as third character"
                                                  : "version without 1 as third character";
        std::cout << std::right << std::setw(2) << t << "  ";
        if (note.empty())
            std::cout << model << '\n';
        else
            std::cout << std::left << std::setw(10) << model << note << '\n';
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string_view command = argc > 1 ? argv[1] : "";
    if (command == "info") return info(argc - 2, argv + 2);
    if (command == "make") return make(argc - 2, argv + 2);
    if (argc == 2 && command == "types") return types();
    if (argc == 2 && command == "--version") {
        std::cout << "qvimage " QV_VERSION "\n";
        return 0;
    }
    if (argc == 2 && command == "--help") {
        std::cout << usage << options;
        return 0;
    }
    return bad_usage();
}
