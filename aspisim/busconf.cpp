#include "aspisim/busconf.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "fwimage/fwtables.h"
#include "platform/descriptors.h"
#include "platform/files.h"

namespace aspisim {

namespace {

// One word of a statement, or a double-quoted text still holding its quotes
// and escapes.
struct Line {
    std::vector<std::string_view> words;
    std::string error;  // set when the line cannot be split
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

Line split(std::string_view s) {
    Line line;
    std::size_t i = 0;
    while (i < s.size()) {
        if (is_blank(s[i])) {
            i++;
            continue;
        }
        if (s[i] == '#') break;
        std::size_t start = i;
        while (i < s.size() && !is_blank(s[i]) && s[i] != '#') {
            if (s[i] == '"') {
                i++;
                while (i < s.size() && s[i] != '"') i += (s[i] == '\\' && i + 1 < s.size()) ? 2 : 1;
                if (i >= s.size()) {
                    line.error = "unterminated text";
                    return line;
                }
            }
            i++;
        }
        line.words.push_back(s.substr(start, i - start));
    }
    return line;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A number in decimal or with 0x in hexadecimal, no sign, at most `max`.
std::optional<unsigned long> number(std::string_view s, unsigned long max) {
    unsigned base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty()) return std::nullopt;
    unsigned long v = 0;
    for (char c : s) {
        int d = hex_digit(c);
        if (d < 0 || static_cast<unsigned>(d) >= base) return std::nullopt;
        if (v > (max - static_cast<unsigned long>(d)) / base) return std::nullopt;
        v = v * base + static_cast<unsigned long>(d);
    }
    return v;
}

// A decimal with an optional fraction ("2", "0.25"), no sign or exponent,
// at most `max`.
std::optional<double> decimal(std::string_view s, unsigned long max) {
    const std::size_t dot = s.find('.');
    const std::string_view whole = s.substr(0, dot);
    const std::string_view fraction = dot == std::string_view::npos ? "" : s.substr(dot + 1);
    if (whole.empty() || (dot != std::string_view::npos && fraction.empty())) return std::nullopt;
    if (!std::all_of(whole.begin(), whole.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const std::optional<unsigned long> w = number(whole, max);
    if (!w) return std::nullopt;
    double v = static_cast<double>(*w), unit = 0.1;
    for (char c : fraction) {
        if (c < '0' || c > '9') return std::nullopt;
        v += (c - '0') * unit;
        unit /= 10;
    }
    if (v > static_cast<double>(max)) return std::nullopt;
    return v;
}

// Word i of a statement as a number up to max; nothing when the statement
// has no such word or it is no such number.
std::optional<unsigned long> word_number(const std::vector<std::string_view>& w, std::size_t i,
                                         unsigned long max) {
    if (i >= w.size()) return std::nullopt;
    return number(w[i], max);
}

// A double-quoted text with \0, \xNN, \\ and \" escapes, padded with blanks
// to the field's width.
template <std::size_t N>
std::string text_field(std::string_view s, std::array<char, N>& out) {
    if (s.size() < 2 || s.front() != '"' || s.back() != '"') return "must be a text in double quotes";
    s = s.substr(1, s.size() - 2);
    std::size_t n = 0;
    for (std::size_t i = 0; i < s.size(); i++) {
        char c = s[i];
        if (c == '\\') {
            if (i + 1 >= s.size()) return "ends in a lone backslash";
            char e = s[++i];
            if (e == '0') {
                c = '\0';
            } else if (e == '\\' || e == '"') {
                c = e;
            } else if (e == 'x' && i + 2 < s.size() && hex_digit(s[i + 1]) >= 0 && hex_digit(s[i + 2]) >= 0) {
                c = static_cast<char>(hex_digit(s[i + 1]) * 16 + hex_digit(s[i + 2]));
                i += 2;
            } else {
                return "has an unknown escape (use \\0, \\xNN, \\\\ or \\\")";
            }
        }
        if (n == N) return "is longer than " + std::to_string(N) + " characters";
        out[n++] = c;
    }
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(n), out.end(), ' ');
    return {};
}

// The bytes of a run of pairs of hexadecimal digits; none when s is no such
// run.
std::optional<std::vector<std::uint8_t>> sense_bytes(std::string_view s) {
    if (s.empty() || s.size() % 2 != 0) return std::nullopt;
    for (char c : s)
        if (hex_digit(c) < 0) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < s.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(hex_digit(s[i]) * 16 + hex_digit(s[i + 1])));
    return bytes;
}

template <std::size_t N>
std::array<char, N> padded(std::string_view s) {
    std::array<char, N> a;
    a.fill(' ');
    std::copy_n(s.begin(), std::min(s.size(), N), a.begin());
    return a;
}

struct FaultAt {
    FaultConf fault;
    int line;
};

// A swap, restart or moveto statement, given to its device once the whole
// description is read.
struct DriveAt {
    std::string kw;
    Address at;
    int line;
    std::optional<SwapConf> swap;
    std::optional<RestartConf> restart;
    std::optional<Address> moveto;
};

std::string text(Address a) { return std::to_string(a.ha) + " " + std::to_string(a.target); }

class Parser {
public:
    explicit Parser(std::string_view name) : name_(name) {}

    void at(int line) { line_ = line; }

    void statement(const std::vector<std::string_view>& w) {
        std::string_view kw = w[0];
        if (kw == "adapters") {
            once(seen_adapters_, kw);
            if (auto v = single_number(w, MAX_ADAPTERS)) conf_.adapters = static_cast<int>(*v);
        } else if (kw == "support") {
            once(seen_support_, kw);
            if (auto v = single_number(w, 0xFF)) conf_.support = static_cast<std::uint8_t>(*v);
        } else if (kw == "latency") {
            once(seen_latency_, kw);
            if (auto v = single_number(w, MAX_LATENCY_MS)) conf_.latency_ms = static_cast<unsigned>(*v);
        } else if (kw == "device") {
            device(w);
        } else if (kw == "fail" || kw == "hang" || kw == "ignore" || kw == "corrupt" || kw == "short") {
            fault(w);
        } else if (kw == "swap" || kw == "restart" || kw == "moveto") {
            drive(w);
        } else {
            fail("unknown statement '" + std::string(kw) + "'");
        }
    }

    void fail(const std::string& what) {
        errors_.push_back(std::string(name_) + ":" + std::to_string(line_) + ": " + what);
    }

    ParseResult finish() {
        // Checked once the whole file is read, so statements may come in any order.
        for (const DeviceConf& d : conf_.devices) {
            if (d.ha >= conf_.adapters) {
                line_ = d.line;
                fail("device on adapter " + std::to_string(d.ha) + ", but there are " +
                     std::to_string(conf_.adapters) + " adapters");
            }
        }
        for (const FaultAt& f : faults_) {
            line_ = f.line;
            device_at({f.fault.ha, f.fault.target});
            conf_.faults.push_back(f.fault);
        }
        for (const DriveAt& a : drives_) {
            line_ = a.line;
            DeviceConf* d = device_at(a.at);
            if (a.moveto) {
                const Address to = *a.moveto;
                if (to.ha >= conf_.adapters)
                    fail("moveto to adapter " + std::to_string(to.ha) + ", but there are " +
                         std::to_string(conf_.adapters) + " adapters");
                for (const DeviceConf& o : conf_.devices)
                    if (o.ha == to.ha && o.target == to.target)
                        fail("moveto: a device at " + text(to) + " was declared on line " +
                             std::to_string(o.line));
            }
            if (d == nullptr) continue;
            if (a.swap) d->swap = a.swap;
            if (a.restart) d->restart = a.restart;
            if (a.moveto) d->moveto = a.moveto;
        }
        ParseResult r;
        r.errors = std::move(errors_);
        r.ok = r.errors.empty();
        if (r.ok) r.config = std::move(conf_);
        return r;
    }

private:
    // The device declared at `at`; none, reported, when there is none.
    DeviceConf* device_at(Address at) {
        for (DeviceConf& d : conf_.devices)
            if (d.ha == at.ha && d.target == at.target) return &d;
        fail("no device at " + text(at));
        return nullptr;
    }

    void once(bool& seen, std::string_view kw) {
        if (seen) fail(std::string(kw) + " given twice");
        seen = true;
    }

    std::optional<unsigned long> single_number(const std::vector<std::string_view>& w, unsigned long max) {
        std::optional<unsigned long> v;
        if (w.size() == 2) v = number(w[1], max);
        if (!v) fail(std::string(w[0]) + ": expected one number from 0 to " + std::to_string(max));
        return v;
    }

    // HA and TARGET of a statement, its words `first` and `first` + 1;
    // none, reported, when they are no address of the bus. `which` names a
    // second address of the statement ("new ").
    std::optional<Address> address(const std::vector<std::string_view>& w, std::size_t first = 1,
                                   const std::string& which = "") {
        const auto h = word_number(w, first, MAX_ADAPTERS - 1);
        const auto t = word_number(w, first + 1, MAX_TARGET);
        if (!h || !t) {
            fail(std::string(w[0]) + ": expected " + (which.empty() ? "an " : "a " + which) +
                 "adapter from 0 to " + std::to_string(MAX_ADAPTERS - 1) + " and a " + which +
                 "target from 0 to " + std::to_string(MAX_TARGET));
            return std::nullopt;
        }
        if (*t == ADAPTER_SCSI_ID) {
            fail(std::string(w[0]) + ": target 7 is the host adapter's own SCSI id");
            return std::nullopt;
        }
        return Address{static_cast<int>(*h), static_cast<int>(*t)};
    }

    // The key=value words of a statement from word `first` on, each handed to
    // take(key, value), which answers nothing for a key it does not know, else
    // what is wrong with the value (empty: taken). A key is given once. After
    // a taken `continued` key, the words without '=' that follow go on with its
    // value. `bad_word` opens the report of any other word. False when any
    // word was refused; every refusal is reported.
    template <class Take>
    bool key_values(const std::vector<std::string_view>& w, std::size_t first, const std::string& kw,
                    std::string_view continued, const char* bad_word, Take take) {
        bool ok = true;
        std::vector<std::string_view> keys;
        std::string_view open_key;
        auto refuse = [&](const std::string& what) {
            fail(kw + ": " + what);
            ok = false;
        };
        for (std::size_t i = first; i < w.size(); i++) {
            const std::size_t eq = w[i].find('=');
            if (eq == std::string_view::npos && !open_key.empty()) {
                const std::string err = *take(open_key, w[i]);
                if (!err.empty()) {
                    refuse(std::string(open_key) + " " + err);
                    open_key = {};
                }
                continue;
            }
            open_key = {};
            if (eq == std::string_view::npos || eq == 0) {
                refuse(bad_word + std::string(w[i]) + "'");
                continue;
            }
            const std::string_view key = w[i].substr(0, eq), value = w[i].substr(eq + 1);
            if (std::find(keys.begin(), keys.end(), key) != keys.end()) {
                refuse(std::string(key) + " given twice");
                continue;
            }
            keys.push_back(key);
            const std::optional<std::string> err = take(key, value);
            if (!err)
                refuse("unknown key '" + std::string(key) + "'");
            else if (!err->empty())
                refuse(std::string(key) + " " + *err);
            else if (key == continued)
                open_key = key;
        }
        return ok;
    }

    void device(const std::vector<std::string_view>& w) {
        DeviceConf d;
        d.line = line_;
        const std::optional<Address> at = address(w);
        if (!at) return;
        d.ha = at->ha;
        d.target = at->target;
        d.vendor.fill(' ');
        d.product.fill(' ');
        d.revision = padded<4>("1.00");
        bool flash_given = false;
        bool ok = key_values(w, 3, "device", {}, "expected key=value, got '",
                             [&](std::string_view key, std::string_view value) -> std::optional<std::string> {
                                 if (key == "type") {
                                     if (auto v = number(value, 31)) {
                                         d.type = static_cast<int>(*v);
                                         return "";
                                     }
                                     return "must be a number from 0 to 31";
                                 }
                                 if (key == "vendor") return text_field(value, d.vendor);
                                 if (key == "product") return text_field(value, d.product);
                                 if (key == "revision") return text_field(value, d.revision);
                                 if (key == "medium") {
                                     if (value != "yes" && value != "no") return "must be yes or no";
                                     d.medium = value == "yes";
                                     return "";
                                 }
                                 if (key == "flash") {
                                     flash_given = true;
                                     if (value == "writebuffer")
                                         d.flash = Flash::writebuffer;
                                     else if (value == "rom")
                                         d.flash = Flash::rom;
                                     else if (value == "none")
                                         d.flash = Flash::none;
                                     else
                                         return "must be writebuffer, rom or none";
                                     return "";
                                 }
                                 return std::nullopt;
                             });
        if (!flash_given) d.flash = default_flash(d.vendor, d.product);
        for (const DeviceConf& o : conf_.devices) {
            if (o.ha == d.ha && o.target == d.target) {
                fail("device: a device at " + std::to_string(d.ha) + " " + std::to_string(d.target) +
                     " was declared on line " + std::to_string(o.line));
                ok = false;
                break;
            }
        }
        if (ok) conf_.devices.push_back(d);
    }

    // Reports every word of a statement from `first` on; false when there is one.
    bool nothing_after(const std::vector<std::string_view>& w, std::size_t first) {
        for (std::size_t i = first; i < w.size(); i++)
            fail(std::string(w[0]) + ": unexpected '" + std::string(w[i]) + "'");
        return w.size() <= first;
    }

    void fault(const std::vector<std::string_view>& w) {
        std::string kw(w[0]);
        FaultConf f;
        f.kind = kw == "hang"      ? FaultKind::hang
                 : kw == "ignore"  ? FaultKind::ignore
                 : kw == "corrupt" ? FaultKind::corrupt
                 : kw == "short"   ? FaultKind::short_by
                                   : FaultKind::fail;
        const std::optional<Address> at = address(w);
        if (!at) return;
        f.ha = at->ha;
        f.target = at->target;
        const auto op = word_number(w, 3, 0xFF);
        const auto nth = word_number(w, 4, 0xFFFFFFFFul);
        const bool corrupt = f.kind == FaultKind::corrupt || f.kind == FaultKind::short_by;
        const auto offset = corrupt ? word_number(w, 5, MAX_DATA_OFFSET) : std::optional<unsigned long>(0);
        if (!op || !nth || *nth == 0 || !offset) {
            fail(kw + ": expected an opcode from 0x00 to 0xFF" +
                 (corrupt ? ", a count from 1 and an offset from 0 to " + std::to_string(MAX_DATA_OFFSET)
                          : std::string(" and a count from 1")));
            return;
        }
        f.opcode = static_cast<int>(*op);
        f.nth = *nth;
        f.offset = static_cast<std::uint32_t>(*offset);
        bool ok = true, sense_given = false;
        if (f.kind != FaultKind::fail) {
            ok = nothing_after(w, corrupt ? 6 : 5);
        } else {
            // sense=70 00 04 ...: the bytes may also be given as separate words
            ok = key_values(w, 5, kw, "sense", "unexpected '",
                            [&](std::string_view key, std::string_view value) -> std::optional<std::string> {
                                if (key == "status" || key == "targstat") {
                                    auto v = number(value, 0xFF);
                                    if (!v) return "must be a number from 0x00 to 0xFF";
                                    (key == "status" ? f.status : f.targstat) = static_cast<std::uint8_t>(*v);
                                    return "";
                                }
                                if (key == "sense") {
                                    sense_given = true;
                                    const auto bytes = sense_bytes(value);
                                    if (!bytes) return "must be pairs of hexadecimal digits";
                                    f.sense.insert(f.sense.end(), bytes->begin(), bytes->end());
                                    return "";
                                }
                                return std::nullopt;
                            });
        }
        if (f.sense.size() > MAX_SENSE_BYTES) {
            fail(kw + ": sense longer than " + std::to_string(MAX_SENSE_BYTES) + " bytes");
            ok = false;
        }
        if (!sense_given) f.sense = {0x70, 0, 0x04, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x44, 0};
        for (const FaultAt& o : faults_) {
            if (o.fault.ha == f.ha && o.fault.target == f.target && o.fault.opcode == f.opcode &&
                o.fault.nth == f.nth) {
                fail(kw + ": that command was given a fault on line " + std::to_string(o.line));
                ok = false;
                break;
            }
        }
        if (ok) faults_.push_back({f, line_});
    }

    // swap, restart and moveto: one of each for a device.
    void drive(const std::vector<std::string_view>& w) {
        DriveAt a{std::string(w[0]), {}, line_, {}, {}, {}};
        const std::string& kw = a.kw;
        const std::optional<Address> at = address(w);
        if (!at) return;
        a.at = *at;
        bool ok = true;
        if (kw == "swap") {
            const auto nth = word_number(w, 3, 0xFFFFFFFFul);
            if (!nth || *nth == 0) {
                fail("swap: expected a count from 1");
                return;
            }
            SwapConf& s = a.swap.emplace();
            s.nth = *nth;
            ok = key_values(w, 4, kw, {}, "expected key=value, got '",
                            [&](std::string_view key, std::string_view value) -> std::optional<std::string> {
                                if (key == "vendor") return text_field(value, s.vendor.emplace());
                                if (key == "product") return text_field(value, s.product.emplace());
                                if (key == "revision") return text_field(value, s.revision.emplace());
                                return std::nullopt;
                            });
        } else if (kw == "restart") {
            const std::optional<double> seconds =
                w.size() > 3 ? decimal(w[3], MAX_RESTART_SECONDS) : std::nullopt;
            if (!seconds) {
                fail("restart: expected seconds from 0 to " + std::to_string(MAX_RESTART_SECONDS));
                return;
            }
            RestartConf& r = a.restart.emplace();
            r.seconds = *seconds;
            ok = key_values(w, 4, kw, {}, "expected key=value, got '",
                            [&](std::string_view key, std::string_view value) -> std::optional<std::string> {
                                if (key != "answer") return std::nullopt;
                                if (value == "none")
                                    r.answer = RestartAnswer::none;
                                else if (value == "old")
                                    r.answer = RestartAnswer::old;
                                else if (value == "notready")
                                    r.answer = RestartAnswer::notready;
                                else
                                    return "must be none, old or notready";
                                return "";
                            });
        } else {
            a.moveto = address(w, 3, "new ");
            if (!a.moveto) return;
            ok = nothing_after(w, 5);
            for (const DriveAt& o : drives_)
                if (o.moveto == a.moveto) {
                    fail("moveto: line " + std::to_string(o.line) + " moves a device to " + text(*a.moveto));
                    ok = false;
                }
        }
        for (const DriveAt& o : drives_)
            if (o.kw == kw && o.at == a.at) {
                fail(kw + ": the device at " + text(a.at) + " was given one on line " +
                     std::to_string(o.line));
                ok = false;
                break;
            }
        if (ok) drives_.push_back(std::move(a));
    }

    std::string_view name_;
    int line_ = 0;
    BusConfig conf_;
    std::vector<FaultAt> faults_;
    std::vector<DriveAt> drives_;
    std::vector<std::string> errors_;
    bool seen_adapters_ = false, seen_support_ = false, seen_latency_ = false;
};

}  // namespace

ParseResult parse_bus(std::string_view text, std::string_view name) {
    Parser p(name);
    int line = 0;
    while (!text.empty() || line == 0) {
        std::size_t nl = text.find('\n');
        std::string_view s = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        line++;
        Line l = split(s);
        p.at(line);
        if (!l.error.empty())
            p.fail(l.error);
        else if (!l.words.empty())
            p.statement(l.words);
        if (text.empty()) break;
    }
    return p.finish();
}

namespace {

constexpr std::size_t MAX_BUS_FILE = 1u << 20;

// The whole file, up to one byte more than a bus description may have; none,
// with errno set, when it cannot be read (a folder, say).
std::optional<std::string> read_file(const char* path) {
    int fd = platform::above_stdio(::open(path, O_RDONLY | platform::kPrivate));
    if (fd < 0) return std::nullopt;
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int e = errno;
            ::close(fd);
            errno = e;
            return std::nullopt;
        }
        if (n == 0 || out.size() > MAX_BUS_FILE) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return out;
}

}  // namespace

ParseResult read_bus(const char* path) {
    ParseResult r;
    const std::optional<std::string> text = read_file(path);
    if (!text) {
        r.errors.push_back(std::string("cannot read the bus description ") + path + ": " +
                           std::strerror(errno));
        return r;
    }
    if (text->size() > MAX_BUS_FILE) {
        r.errors.push_back(std::string(path) + ": longer than " + std::to_string(MAX_BUS_FILE) + " bytes");
        return r;
    }
    return parse_bus(*text, path);
}

Flash default_flash(const std::array<char, 8>& vendor, const std::array<char, 16>& product) {
    if (vendor != padded<8>(VENDOR_ID)) return Flash::none;
    return product == padded<16>(ProductID[LOADER_TYPE]) ? Flash::rom : Flash::writebuffer;
}

BusConfig default_bus() {
    BusConfig c;
    c.adapters = 2;
    DeviceConf cdr;
    cdr.ha = 0;
    cdr.target = 2;
    cdr.vendor = padded<8>(VENDOR_ID);
    cdr.product = padded<16>(ProductID[13]);
    cdr.revision = padded<4>("1.00");
    cdr.flash = Flash::writebuffer;
    DeviceConf other;
    other.ha = 0;
    other.target = 4;
    other.vendor = padded<8>("MERIDIAN");
    other.product = padded<16>("CD-ROM MX-3240  ");
    other.revision = padded<4>("2.04");
    DeviceConf disk;
    disk.ha = 1;
    disk.target = 0;
    disk.type = 0;
    disk.vendor = padded<8>("HALCYON ");
    disk.product = padded<16>("HD-1080S        ");
    disk.revision = padded<4>("0412");
    disk.medium = true;
    c.devices = {cdr, other, disk};
    return c;
}

}  // namespace aspisim
