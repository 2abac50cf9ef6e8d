#include "aspihost/transcript.h"

#include <algorithm>

#include "support/hexbytes.h"

namespace aspihost {

namespace {

constexpr const char* kKinds[] = {"hainquiry", "devtype", "exec", "abort", "reset"};
constexpr const char* kDirections[] = {"none", "in", "out", "both"};
constexpr std::size_t kMaxSense = 255;
constexpr std::size_t kMaxProgram = 255;
constexpr std::int64_t kMaxMicros = 1000000LL * 1000000000LL;  // a billion seconds

const char* kind_name(RequestKind k) { return kKinds[static_cast<int>(k)]; }

// Answered at once: the request and its outcome are written together.
bool synchronous(RequestKind k) { return k != RequestKind::exec && k != RequestKind::reset; }

bool has_out(Direction d) { return d == Direction::out || d == Direction::both; }

std::string hex(const std::uint8_t* p, std::size_t n) { return sup::hexbytes(p, n); }
std::string status(BYTE v) { return "0x" + hex(&v, 1); }

// A text between double quotes: printable ASCII as it is but for the quote
// and the backslash, which are escaped, and any other byte as \xNN.
std::string quoted(const std::uint8_t* p, std::size_t n) {
    std::string s = "\"";
    for (std::size_t i = 0; i < n; i++) {
        const std::uint8_t c = p[i];
        if (c == '"' || c == '\\') {
            s += '\\';
            s += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            s += static_cast<char>(c);
        } else {
            s += "\\x" + hex(&c, 1);
        }
    }
    return s + "\"";
}

std::string address(const Request& r) {
    std::string s = std::to_string(r.at.ha);
    if (r.kind == RequestKind::hainquiry || r.kind == RequestKind::abort) return s;
    return s + " " + std::to_string(r.at.target) + " " + std::to_string(r.at.lun);
}

// An offset as at least four upper-case hex digits.
std::string offset_text(std::size_t v) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    do {
        s.insert(s.begin(), digits[v & 15]);
        v >>= 4;
    } while (v != 0);
    return std::string(s.size() < 4 ? 4 - s.size() : 0, '0') + s;
}

}  // namespace

Direction direction(BYTE flags) {
    return static_cast<Direction>(((flags & SRB_DIR_IN) ? 1 : 0) | ((flags & SRB_DIR_OUT) ? 2 : 0));
}

std::string seconds_text(std::int64_t micros) {
    const std::string frac = std::to_string(micros % 1000000);
    return std::to_string(micros / 1000000) + "." + std::string(6 - frac.size(), '0') + frac;
}

std::string header_text(const Header& h) {
    std::string s = "transcript " + std::to_string(TRANSCRIPT_VERSION) + "\n";
    s += "program " +
         quoted(reinterpret_cast<const std::uint8_t*>(h.program.data()),
                std::min(h.program.size(), kMaxProgram)) +
         "\n";
    s += "layer " + h.layer + " " + h.layer_version + "\n";
    s += "date " + h.date + "\n";
    s += "support status=" + status(h.status) + " adapters=" + std::to_string(h.adapters.size()) + "\n";
    for (std::size_t i = 0; i < h.adapters.size(); i++) {
        const AdapterInfo& a = h.adapters[i];
        s += "adapter " + std::to_string(i) + " count=" + std::to_string(a.count) +
             " id=" + std::to_string(a.id) +
             " identifier=" + quoted(a.identifier.data(), a.identifier.size()) +
             " unique=" + hex(a.unique.data(), a.unique.size()) + "\n";
    }
    return s;
}

std::string notation(const Request& r) {
    std::string s = std::string(kind_name(r.kind)) + " " + address(r);
    if (r.kind == RequestKind::exec) {
        s += " dir=" + std::string(kDirections[static_cast<int>(r.dir)]) + " len=" + std::to_string(r.len) +
             " cdb=" + hex(r.cdb.data(), r.cdb.size());
        if (r.crc) {
            const std::uint32_t v = *r.crc;
            const std::uint8_t b[4] = {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8),
                                       std::uint8_t(v)};
            s += " crc32=" + hex(b, 4);
        }
    }
    if (r.kind == RequestKind::abort)
        s += " of=" + (r.aborts ? std::to_string(*r.aborts) : std::string("none"));
    return s;
}

std::string request_line(std::size_t number, const Request& r) {
    return std::to_string(number) + " " + notation(r) + "\n";
}

std::string outcome_lines(std::size_t number, RequestKind kind, const Outcome& o) {
    const std::string n = std::to_string(number);
    std::string s = n + " done status=" + status(o.status);
    if (kind == RequestKind::exec || kind == RequestKind::reset) s += " hastat=" + status(o.hastat);
    if (kind == RequestKind::exec) {
        s += " targstat=" + status(o.targstat);
        if (!o.sense.empty()) s += " sense=" + hex(o.sense.data(), std::min(o.sense.size(), kMaxSense));
        if (o.resid) s += " resid=" + std::to_string(*o.resid);
    }
    if (kind == RequestKind::devtype && o.type) s += " type=" + std::to_string(*o.type);
    if (!synchronous(kind) && o.micros) s += " seconds=" + seconds_text(*o.micros);
    if (kind == RequestKind::exec && o.abandoned) s += " abandoned";
    s += "\n";
    if (kind != RequestKind::exec) return s;
    for (std::size_t at = 0; at < o.data.size(); at += DATA_PER_LINE)
        s += n + " data " + offset_text(at) + " " +
             hex(o.data.data() + at, std::min(DATA_PER_LINE, o.data.size() - at)) + "\n";
    return s;
}

std::string transcript_text(const Transcript& t) {
    std::string s = header_text(t.header);
    for (std::size_t i = 0; i < t.records.size(); i++) {
        const Record& r = t.records[i];
        s += request_line(i + 1, r.request);
        if (r.outcome) s += outcome_lines(i + 1, r.request.kind, *r.outcome);
    }
    return s;
}

// --- reading ---------------------------------------------------------------

namespace {

bool blank(char c) { return c == ' ' || c == '\t'; }

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Decimal digits alone, at most `max`.
std::optional<std::uint64_t> decimal(std::string_view s, std::uint64_t max) {
    if (s.empty() || s.size() > 20) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto d = static_cast<std::uint64_t>(c - '0');
        if (d > max || v > (max - d) / 10) return std::nullopt;
        v = v * 10 + d;
    }
    return v;
}

std::optional<std::vector<std::uint8_t>> hex_bytes(std::string_view s, std::size_t max) {
    if (s.size() % 2 != 0 || s.size() / 2 > max) return std::nullopt;
    std::vector<std::uint8_t> v(s.size() / 2);
    for (std::size_t i = 0; i < v.size(); i++) {
        const int hi = hex_digit(s[2 * i]), lo = hex_digit(s[2 * i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        v[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return v;
}

// Up to eight hex digits.
std::optional<std::size_t> hex_number(std::string_view s) {
    if (s.empty() || s.size() > 8) return std::nullopt;
    std::size_t v = 0;
    for (char c : s) {
        const int d = hex_digit(c);
        if (d < 0) return std::nullopt;
        v = v << 4 | static_cast<std::size_t>(d);
    }
    return v;
}

// "0x" and one or two hex digits.
std::optional<BYTE> status_value(std::string_view s) {
    if (s.size() < 3 || s.size() > 4 || s[0] != '0' || s[1] != 'x') return std::nullopt;
    int v = 0;
    for (char c : s.substr(2)) {
        const int d = hex_digit(c);
        if (d < 0) return std::nullopt;
        v = v * 16 + d;
    }
    return static_cast<BYTE>(v);
}

std::optional<std::int64_t> seconds_value(std::string_view s) {
    const std::size_t dot = s.find('.');
    if (dot == std::string_view::npos || s.size() - dot - 1 != 6) return std::nullopt;
    const auto whole = decimal(s.substr(0, dot), kMaxMicros / 1000000 - 1);
    const auto frac = decimal(s.substr(dot + 1), 999999);
    if (!whole || !frac) return std::nullopt;
    return static_cast<std::int64_t>(*whole * 1000000 + *frac);
}

// A double-quoted text with the writer's escapes, or none.
std::optional<std::string> text_value(std::string_view s, std::size_t max) {
    if (s.size() < 2 || s.front() != '"' || s.back() != '"') return std::nullopt;
    s = s.substr(1, s.size() - 2);
    std::string out;
    for (std::size_t i = 0; i < s.size(); i++) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c < 0x20 || c == 0x7F) return std::nullopt;
        if (c != '\\') {
            out += static_cast<char>(c);
        } else if (i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
            out += s[++i];
        } else if (i + 3 < s.size() && s[i + 1] == 'x' && hex_digit(s[i + 2]) >= 0 &&
                   hex_digit(s[i + 3]) >= 0) {
            out += static_cast<char>(hex_digit(s[i + 2]) << 4 | hex_digit(s[i + 3]));
            i += 3;
        } else {
            return std::nullopt;
        }
        if (out.size() > max) return std::nullopt;
    }
    return out;
}

// The words of a line: runs without blanks, a double-quoted part (with its
// escaped quotes) taken whole. Empty when a quote is left open.
std::optional<std::vector<std::string_view>> split(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        if (blank(line[i])) {
            i++;
            continue;
        }
        const std::size_t start = i;
        while (i < line.size() && !blank(line[i])) {
            if (line[i] == '"') {
                i++;
                while (i < line.size() && line[i] != '"') i += line[i] == '\\' && i + 1 < line.size() ? 2 : 1;
                if (i >= line.size()) return std::nullopt;
            }
            i++;
        }
        words.push_back(line.substr(start, i - start));
    }
    return words;
}

// A key=value word; a word without '=' is a key alone.
struct Field {
    std::string_view key, value;
};

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    ReadResult run() {
        ReadResult r;
        for (std::size_t at = 0; at < text_.size() && r.why.empty();) {
            const std::size_t end = text_.find('\n', at);
            line_++;
            if (end == std::string_view::npos) {
                r.why = "the last line has no end (the file is cut short)";
                break;
            }
            std::string_view line = text_.substr(at, end - at);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            r.why = take(line);
            at = end + 1;
        }
        if (r.why.empty()) r.why = finish();
        if (!r.why.empty()) r.line = std::max<std::size_t>(line_, 1);
        r.transcript = std::move(t_);
        return r;
    }

private:
    enum class Stage { format, program, layer, date, support, adapters, records };

    std::string take(std::string_view line) {
        std::size_t first = 0;
        while (first < line.size() && blank(line[first])) first++;
        if (first == line.size() || line[first] == '#') return "";
        for (char c : line)
            if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F)
                return "a control character in the line";
        const auto words = split(line);
        if (!words) return "a text in quotes is not closed";
        words_ = *words;
        return stage_ == Stage::records ? record() : header();
    }

    std::string header() {
        const std::string_view w = words_[0];
        switch (stage_) {
        case Stage::format: {
            if (w != "transcript" || words_.size() != 2)
                return "not a transcript (it begins \"transcript 1\")";
            if (words_[1] != std::to_string(TRANSCRIPT_VERSION))
                return "a transcript of version " + std::string(words_[1]) + "; this layer reads version " +
                       std::to_string(TRANSCRIPT_VERSION);
            stage_ = Stage::program;
            return "";
        }
        case Stage::program: {
            if (w != "program" || words_.size() != 2) return expected("program \"NAME VERSION\"");
            const auto p = text_value(words_[1], kMaxProgram);
            if (!p) return "program: a text in quotes expected";
            t_.header.program = *p;
            stage_ = Stage::layer;
            return "";
        }
        case Stage::layer:
            if (w != "layer" || words_.size() != 3) return expected("layer NAME VERSION");
            t_.header.layer = words_[1];
            t_.header.layer_version = words_[2];
            stage_ = Stage::date;
            return "";
        case Stage::date:
            if (w != "date" || words_.size() != 2) return expected("date YYYY-MM-DDTHH:MM:SSZ");
            t_.header.date = words_[1];
            stage_ = Stage::support;
            return "";
        case Stage::support: {
            if (w != "support") return expected("support status=0xSS adapters=N");
            std::string why = fields(1, {"status", "adapters"});
            if (!why.empty()) return why;
            const auto s = status_value(field("status"));
            const auto n = decimal(field("adapters"), 255);
            if (!s || !n) return expected("support status=0xSS adapters=N");
            t_.header.status = *s;
            adapters_ = static_cast<std::size_t>(*n);
            stage_ = adapters_ == 0 ? Stage::records : Stage::adapters;
            return "";
        }
        case Stage::adapters: return adapter();
        case Stage::records: break;
        }
        return "";
    }

    std::string adapter() {
        const std::string form = "adapter " + std::to_string(t_.header.adapters.size()) +
                                 " count=N id=N identifier=\"16 characters\" unique=HEX";
        if (words_[0] != "adapter" || words_.size() < 2 ||
            decimal(words_[1], 255) != t_.header.adapters.size())
            return expected(form);
        std::string why = fields(2, {"count", "id", "identifier", "unique"});
        if (!why.empty()) return why;
        const auto count = decimal(field("count"), 255), id = decimal(field("id"), 255);
        const auto identifier = text_value(field("identifier"), 16);
        const auto unique = hex_bytes(field("unique"), 16);
        if (!count || !id || !identifier || identifier->size() != 16 || !unique || unique->size() != 16)
            return expected(form);
        AdapterInfo a;
        a.count = static_cast<BYTE>(*count);
        a.id = static_cast<BYTE>(*id);
        std::copy(identifier->begin(), identifier->end(), a.identifier.begin());
        std::copy(unique->begin(), unique->end(), a.unique.begin());
        t_.header.adapters.push_back(a);
        if (t_.header.adapters.size() == adapters_) stage_ = Stage::records;
        return "";
    }

    std::string record() {
        const auto n = decimal(words_[0], ~std::uint64_t{0});
        const std::size_t next = t_.records.size() + 1;
        if (!n || *n == 0) return "a request numbered " + std::to_string(next) + " expected";
        const std::string_view what = words_.size() > 1 ? words_[1] : std::string_view{};
        const bool outcome = what == "done" || what == "data";
        // A synchronous request's outcome stands right after it.
        if (next > 1 && synchronous(t_.records.back().request.kind) && !t_.records.back().outcome &&
            !(what == "done" && *n == next - 1))
            return "request " + std::to_string(next - 1) + " has no outcome";
        if (outcome && *n >= next) return "no request " + std::string(words_[0]) + " before this line";
        if (!outcome && *n != next) return "a request numbered " + std::to_string(next) + " expected";
        const auto number = static_cast<std::size_t>(*n);
        if (what == "data") return data(number);
        data_of_ = 0;
        return what == "done" ? done(number) : request(what);
    }

    std::string request(std::string_view what) {
        Record rec;
        Request& q = rec.request;
        const auto kind = std::find(std::begin(kKinds), std::end(kKinds), what);
        if (kind == std::end(kKinds)) return "unknown request \"" + std::string(what) + "\"";
        q.kind = static_cast<RequestKind>(kind - std::begin(kKinds));
        const bool adapter_only = q.kind == RequestKind::hainquiry || q.kind == RequestKind::abort;
        const std::size_t parts = adapter_only ? 1 : 3;
        std::optional<std::uint64_t> a[3];
        for (std::size_t i = 0; i < parts; i++)
            if (words_.size() > 2 + i) a[i] = decimal(words_[2 + i], 255);
        if (!a[0] || (parts == 3 && (!a[1] || !a[2])))
            return std::string(kind_name(q.kind)) +
                   (adapter_only ? ": HA expected" : ": HA TARGET LUN expected");
        q.at = {static_cast<int>(*a[0]), a[1] ? static_cast<int>(*a[1]) : 0,
                a[2] ? static_cast<int>(*a[2]) : 0};
        std::string why;
        if (q.kind == RequestKind::exec)
            why = exec(q, 2 + parts);
        else if (q.kind == RequestKind::abort)
            why = abort(q, 2 + parts);
        else if (words_.size() != 2 + parts)
            why = std::string(kind_name(q.kind)) + ": more than its address";
        if (!why.empty()) return why;
        t_.records.push_back(std::move(rec));
        return "";
    }

    std::string exec(Request& q, std::size_t from) {
        std::string why = fields(from, {"dir", "len", "cdb", "crc32"});
        if (!why.empty()) return why;
        const auto dir = std::find(std::begin(kDirections), std::end(kDirections), field("dir"));
        const auto len = decimal(field("len"), MAX_BUFFER);
        const auto cdb = hex_bytes(field("cdb"), 16);
        if (dir == std::end(kDirections)) return "exec: dir=none, in, out or both expected";
        if (!len) return "exec: len=N expected, at most " + std::to_string(MAX_BUFFER);
        if (!cdb || cdb->empty()) return "exec: cdb= of 1 to 16 bytes in hex expected";
        q.dir = static_cast<Direction>(dir - std::begin(kDirections));
        q.len = static_cast<std::uint32_t>(*len);
        q.cdb = *cdb;
        if (const Field* crc = find("crc32")) {
            const auto b = hex_bytes(crc->value, 4);
            if (!b || b->size() != 4 || !has_out(q.dir))
                return "exec: crc32= of 8 hex digits expected, for data sent only";
            q.crc = std::uint32_t{(*b)[0]} << 24 | std::uint32_t{(*b)[1]} << 16 |
                    std::uint32_t{(*b)[2]} << 8 | (*b)[3];
        }
        return "";
    }

    std::string abort(Request& q, std::size_t from) {
        std::string why = fields(from, {"of"});
        if (!why.empty()) return why;
        const std::string_view of = field("of");
        if (of == "none") return "";
        const auto m = decimal(of, t_.records.size());
        if (!m || *m == 0 || t_.records[*m - 1].request.kind != RequestKind::exec)
            return "abort: of= the number of an earlier exec, or none, expected";
        q.aborts = static_cast<std::size_t>(*m);
        return "";
    }

    std::string done(std::size_t number) {
        Record& rec = t_.records[number - 1];
        const RequestKind kind = rec.request.kind;
        if (rec.outcome) return "request " + std::to_string(number) + " has an outcome already";
        std::vector<const char*> keys = {"status"};
        if (kind == RequestKind::exec) keys.insert(keys.end(), {"hastat", "targstat", "sense", "resid"});
        if (kind == RequestKind::reset) keys.push_back("hastat");
        if (kind == RequestKind::devtype) keys.push_back("type");
        if (!synchronous(kind)) keys.push_back("seconds");
        if (kind == RequestKind::exec) keys.push_back("abandoned");
        std::string why = fields(2, keys);
        if (!why.empty()) return why;
        Outcome o;
        const auto st = status_value(field("status"));
        if (!st) return "done: status=0xSS expected";
        o.status = *st;
        for (auto [key, into] : {std::pair{"hastat", &o.hastat}, std::pair{"targstat", &o.targstat}})
            if (const Field* f = find(key)) {
                const auto v = status_value(f->value);
                if (!v) return "done: " + std::string(key) + "=0xSS expected";
                *into = *v;
            }
        if (const Field* f = find("sense")) {
            const auto v = hex_bytes(f->value, kMaxSense);
            if (!v || v->empty()) return "done: sense= of 1 to 255 bytes in hex expected";
            o.sense = *v;
        }
        if (const Field* f = find("resid")) {
            const auto v = decimal(f->value, 0xFFFFFFFFu);
            if (!v) return "done: resid=N expected";
            o.resid = static_cast<std::uint32_t>(*v);
        }
        if (const Field* f = find("type")) {
            const auto v = decimal(f->value, 255);
            if (!v) return "done: type=N expected";
            o.type = static_cast<BYTE>(*v);
        }
        if (const Field* f = find("seconds")) {
            o.micros = seconds_value(f->value);
            if (!o.micros) return "done: seconds=S.UUUUUU expected";
        }
        if (const Field* f = find("abandoned")) {
            if (!f->value.empty()) return "done: abandoned takes no value";
            o.abandoned = true;
        }
        rec.outcome = std::move(o);
        data_of_ = kind == RequestKind::exec ? number : 0;
        return "";
    }

    std::string data(std::size_t number) {
        if (number != data_of_)
            return "data of request " + std::to_string(number) + " belong after its outcome";
        Record& rec = t_.records[number - 1];
        if (rec.request.dir == Direction::out)
            return "data of request " + std::to_string(number) + ", which sent data";
        std::vector<std::uint8_t>& d = rec.outcome->data;
        const auto at = words_.size() == 4 ? hex_number(words_[2]) : std::nullopt;
        const auto bytes = words_.size() == 4 ? hex_bytes(words_[3], DATA_PER_LINE) : std::nullopt;
        if (!at || !bytes || bytes->empty()) return "data: OFFSET and 1 to 32 bytes in hex expected";
        if (*at != d.size()) return "data: offset " + offset_text(d.size()) + " expected";
        if (d.size() + bytes->size() > rec.request.len) return "data: more than the request's length";
        d.insert(d.end(), bytes->begin(), bytes->end());
        return "";
    }

    std::string finish() {
        if (stage_ != Stage::records) return "the header ends early";
        if (!t_.records.empty() && synchronous(t_.records.back().request.kind) && !t_.records.back().outcome)
            return "request " + std::to_string(t_.records.size()) + " has no outcome";
        return "";
    }

    std::string expected(const std::string& form) const { return "\"" + form + "\" expected"; }

    // Takes the words from `from` on as fields, each of `keys` at most once.
    std::string fields(std::size_t from, const std::vector<const char*>& keys) {
        fields_.clear();
        for (std::size_t i = from; i < words_.size(); i++) {
            const std::string_view w = words_[i];
            const std::size_t eq = w.find('=');
            Field f{w.substr(0, eq), eq == std::string_view::npos ? std::string_view{} : w.substr(eq + 1)};
            if (std::find(keys.begin(), keys.end(), f.key) == keys.end())
                return "unknown field \"" + std::string(f.key) + "\"";
            if (find(f.key)) return "\"" + std::string(f.key) + "\" given twice";
            fields_.push_back(f);
        }
        return "";
    }
    const Field* find(std::string_view key) const {
        for (const Field& f : fields_)
            if (f.key == key) return &f;
        return nullptr;
    }
    std::string_view field(std::string_view key) const {
        const Field* f = find(key);
        return f ? f->value : std::string_view{};
    }

    std::string_view text_;
    std::size_t line_ = 0;
    Stage stage_ = Stage::format;
    std::size_t adapters_ = 0;
    std::size_t data_of_ = 0;  // the request whose data may follow
    std::vector<std::string_view> words_;
    std::vector<Field> fields_;
    Transcript t_;
};

}  // namespace

ReadResult read_transcript(std::string_view text) { return Reader(text).run(); }

}  // namespace aspihost
