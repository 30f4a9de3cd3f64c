// Whitespace rules for text read from other programs. Pure functions.
#pragma once

#include <string>
#include <string_view>

namespace ql {

// Unicode White_Space: tab to carriage return, NEL, and every space and
// line/paragraph separator (categories Zs, Zl, Zp).
bool isUnicodeWhitespace(char32_t c);

// The Unicode category Zs (space separators) alone.
bool isSpaceSeparator(char32_t c);

// Drops whitespace and newline characters from both ends of valid UTF-8.
std::string trimWhitespace(std::string_view text);

}  // namespace ql
