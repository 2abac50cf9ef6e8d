// Texts that come from outside the program (file names, drive texts) made
// safe for a terminal or for JSON.
#include "support/jsontext.h"

namespace sup {
namespace {

// One character of UTF-8 at the start of `s`: its length (1 to 4) and code
// point; length 0 when the bytes there are not valid UTF-8 (a stray or cut
// sequence, an overlong form, a surrogate, beyond U+10FFFF).
struct Utf8 {
    std::size_t length;
    char32_t code;
};

Utf8 utf8_at(std::string_view s) {
    auto byte = [&s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return {1, lead};
    const std::size_t n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (n == 0 || lead > 0xF4 || s.size() < n) return {0, 0};
    char32_t code = lead & (0x7F >> n);
    for (std::size_t i = 1; i < n; i++) {
        if ((byte(i) & 0xC0) != 0x80) return {0, 0};
        code = code << 6 | (byte(i) & 0x3F);
    }
    static const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[n] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return {0, 0};
    return {n, code};
}

// C0, DEL and C1: what a terminal may act on rather than show.
bool control(char32_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

}  // namespace

// A name for a terminal: control characters and bytes that are not valid
// UTF-8 show as '?', so that no file name can move the cursor or recolour
// the screen.
std::string printable(std::string_view bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size();) {
        Utf8 u = utf8_at(bytes.substr(i));
        if (u.length == 0 || control(u.code)) {
            out += '?';
            i += u.length == 0 ? 1 : u.length;
        } else {
            out += bytes.substr(i, u.length);
            i += u.length;
        }
    }
    return out;
}

// Bytes as a JSON string: valid UTF-8 as it is, quotes and backslashes
// escaped, and \u00XX for a control character (U+00XX) or for a byte XX
// that is not valid UTF-8, so that any file name or version gives valid JSON.
std::string json(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out = "\"";
    for (std::size_t i = 0; i < bytes.size();) {
        Utf8 u = utf8_at(bytes.substr(i));
        if (u.length == 0 || control(u.code)) {
            const unsigned v = u.length == 0 ? static_cast<unsigned char>(bytes[i]) : u.code;
            out += "\\u00";
            out += digits[v >> 4];
            out += digits[v & 15];
            i += u.length == 0 ? 1 : u.length;
            continue;
        }
        if (u.code == '"' || u.code == '\\') out += '\\';
        out += bytes.substr(i, u.length);
        i += u.length;
    }
    return out + "\"";
}

}  // namespace sup
