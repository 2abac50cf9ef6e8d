// The drive address of the command line, checked before the session opens:
// the transport library reads a missing number as 0, an empty address as a
// default target, "0x2" as 2 and "010" as 8, and any of these would flash a
// drive nobody named.
#include <cctype>
#include <string_view>
#include <vector>

#include "tool/address.h"

namespace {

// Digits only, no sign, blank or base prefix, and no leading zero (the
// library reads "010" as octal 8); none for anything else.
std::optional<long> WholeNumber(std::string_view text) {
    if (text.empty() || (text.size() > 1 && text.front() == '0')) return std::nullopt;
    long n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        // Past any address: the rest only has to be digits.
        if (n <= kHighestAddress) n = n * 10 + (c - '0');
    }
    return n;
}

}  // namespace

std::optional<int> OptionNumber(const char* arg, int lowest) {
    const std::string_view text = arg + 4;
    // "-id:" alone is target 0 and "-id:-1" no target, as they always were.
    if (text.empty()) return lowest <= 0 ? std::optional<int>(0) : std::nullopt;
    if (text == "-1") return lowest <= -1 ? std::optional<int>(-1) : std::nullopt;
    const std::optional<long> n = WholeNumber(text);
    if (!n || *n < lowest || *n > kHighestAddress) return std::nullopt;
    return static_cast<int>(*n);
}

bool DevTextNamesTarget(std::string_view text) {
    // The remote forms and names are the library's to judge.
    if (text.empty() || text.starts_with("REMOTE")) return true;
    const std::size_t colon = text.find(':');
    if (colon != std::string_view::npos) {
        text.remove_prefix(colon + 1);
        if (text.find_first_not_of(" \t") == std::string_view::npos) return false;
        if (text.front() == '@') return true;
    }
    if (text.find(',') == std::string_view::npos) return true;

    std::vector<std::string_view> fields;
    for (std::size_t at = 0;;) {
        const std::size_t comma = text.find(',', at);
        fields.push_back(text.substr(at, comma - at));
        if (comma == std::string_view::npos) break;
        at = comma + 1;
    }
    // A comma that ends the text closes the last number ("2," is target 2).
    if (fields.back().empty()) fields.pop_back();
    // Beyond three fields, and numbers too large for an int, the library
    // refuses with its own words.
    for (std::string_view f : fields)
        if (!WholeNumber(f)) return false;
    return !fields.empty();
}

bool DevTextIsName(std::string_view text) {
    if (text.starts_with('/')) return true;
    int numbers = 0;  // H:C:T:L: four runs of digits between three colons
    for (std::size_t at = 0; at <= text.size(); at++) {
        const bool end = at == text.size() || text[at] == ':';
        if (end && (at == 0 || !std::isdigit(static_cast<unsigned char>(text[at - 1])))) return false;
        if (end) numbers++;
        if (!end && !std::isdigit(static_cast<unsigned char>(text[at]))) return false;
    }
    return numbers == 4;
}
