// The drive address of the command line, checked before the session opens:
// the transport library reads a missing number as 0 and an empty address as
// a default target, and either would flash a drive nobody named.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "tool/qvupgrade.h"

namespace {

bool Blank(std::string_view field) { return field.find_first_not_of(" \t") == std::string_view::npos; }

}  // namespace

std::optional<int> OptionNumber(const char* arg, int lowest) {
    errno = 0;
    long n = std::strtol(arg + 4, nullptr, 10);
    if (errno == ERANGE || n < lowest || n > kHighestAddress) return std::nullopt;
    return static_cast<int>(n);
}

bool DevTextNamesTarget(std::string_view text) {
    // The remote forms and names are the library's to judge.
    if (text.empty() || text.starts_with("REMOTE")) return true;
    const std::size_t colon = text.find(':');
    if (colon != std::string_view::npos) {
        text.remove_prefix(colon + 1);
        if (Blank(text)) return false;
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
    // bus,target,lun; target,lun; target
    const std::size_t target = fields.size() == 3 ? 1 : 0;
    return !Blank(fields[0]) && !Blank(fields[target]);
}
