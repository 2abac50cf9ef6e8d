#include "testing/json.h"

#include <cstdlib>

namespace qvtest {
namespace {

struct Reader {
    const std::string& s;
    std::size_t at = 0;

    void blanks() {
        while (at < s.size() && (s[at] == ' ' || s[at] == '\n' || s[at] == '\t' || s[at] == '\r')) at++;
    }
    bool take(char c) {
        blanks();
        if (at < s.size() && s[at] == c) return ++at, true;
        return false;
    }
    bool word(const char* w, Json& j, Json::Kind kind, bool flag) {
        const std::string text(w);
        if (s.compare(at, text.size(), text) != 0) return false;
        at += text.size();
        j.kind = kind;
        j.flag = flag;
        return true;
    }
    bool string(std::string& out) {
        if (!take('"')) return false;
        while (at < s.size() && s[at] != '"') {
            if (static_cast<unsigned char>(s[at]) < 0x20) return false;
            if (s[at] == '\\') {
                if (++at >= s.size()) return false;
                if (s[at] == 'u') {
                    if (at + 4 >= s.size()) return false;
                    out += static_cast<char>(std::strtoul(s.substr(at + 1, 4).c_str(), nullptr, 16));
                    at += 5;
                    continue;
                }
                const char* plain = "\"\\/bfnrt";
                const char* meant = "\"\\/\b\f\n\r\t";
                const std::string known(plain);
                const std::size_t k = known.find(s[at]);
                if (k == std::string::npos) return false;
                out += meant[k];
                at++;
                continue;
            }
            out += s[at++];
        }
        return take('"');
    }
    bool value(Json& j, int depth) {
        blanks();
        if (depth > 64 || at >= s.size()) return false;
        const char c = s[at];
        if (c == '"') {
            j.kind = Json::string;
            return string(j.text);
        }
        if (c == '{') {
            j.kind = Json::object;
            at++;
            if (take('}')) return true;
            do {
                Json::Member m;
                if (!string(m.first) || !take(':') || !value(m.second, depth + 1)) return false;
                j.members.push_back(std::move(m));
            } while (take(','));
            return take('}');
        }
        if (c == '[') {
            j.kind = Json::array;
            at++;
            if (take(']')) return true;
            do {
                if (!value(j.items.emplace_back(), depth + 1)) return false;
            } while (take(','));
            return take(']');
        }
        if (word("true", j, Json::boolean, true) || word("false", j, Json::boolean, false) ||
            word("null", j, Json::null, false))
            return true;
        char* end = nullptr;
        j.value = std::strtod(s.c_str() + at, &end);
        if (end == s.c_str() + at) return false;
        j.kind = Json::number;
        at = static_cast<std::size_t>(end - s.c_str());
        return true;
    }
};

}  // namespace

const Json* Json::operator[](const std::string& key) const {
    for (const auto& [name, v] : members)
        if (name == key) return &v;
    return nullptr;
}

std::optional<Json> ParseJson(const std::string& text) {
    Reader r{text};
    Json j;
    if (!r.value(j, 0)) return std::nullopt;
    r.blanks();
    if (r.at != text.size()) return std::nullopt;
    return j;
}

}  // namespace qvtest
