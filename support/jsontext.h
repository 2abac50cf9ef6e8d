// Texts that come from outside the program (file names, drive texts) made
// safe for a terminal or for JSON.
#pragma once

#include <string>
#include <string_view>

namespace sup {

// For a terminal: valid UTF-8 as it is, a control character or a byte that
// is no UTF-8 as '?', so that no name can move the cursor or recolour the
// screen.
std::string printable(std::string_view bytes);
// As a JSON string in quotes: valid UTF-8 as it is, quotes and backslashes
// escaped, \u00XX for a control character (U+00XX) or a byte XX that is no
// UTF-8, so that any bytes give valid JSON.
std::string json(std::string_view bytes);

}  // namespace sup
