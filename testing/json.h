// A JSON document read back, for the tests of what the program writes for
// scripts: enough of the grammar for any document, no more.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qvtest {

struct Json {
    enum Kind { null, boolean, number, string, array, object } kind = null;
    bool flag = false;
    double value = 0;
    std::string text;
    std::vector<Json> items;                            // array
    std::vector<std::pair<std::string, Json>> members;  // object, in order

    // The member of an object; null when there is none.
    const Json* operator[](const std::string& key) const;
};

// The document, or none when the text is not one JSON value (and only
// blanks after it).
std::optional<Json> ParseJson(const std::string& text);

}  // namespace qvtest
