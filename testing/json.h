// A JSON document read back, for the tests of what the program writes for
// scripts: enough of the grammar for any document, no more.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qvtest {

struct Json {
    struct Member;  // a pair would need Json complete here
    enum Kind { null, boolean, number, string, array, object } kind = null;
    bool flag = false;
    double value = 0;
    std::string text;
    std::vector<Json> items;      // array
    std::vector<Member> members;  // object, in order

    // The member of an object; null when there is none.
    const Json* operator[](const std::string& key) const;
};

struct Json::Member {
    std::string first;
    Json second;
};

// The document, or none when the text is not one JSON value (and only
// blanks after it).
std::optional<Json> ParseJson(const std::string& text);

}  // namespace qvtest
