// UTF-8 helpers shared by every part of the launcher that judges or walks
// text it did not write itself: config.toml, command output, the seed marker,
// the assessment's report, path texts. No platform calls.
#pragma once

#include <cstddef>
#include <string_view>

namespace ql {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

// The code point that starts at byte `i` of text already known to be valid
// UTF-8, and its length in bytes. Calling it on unchecked bytes reads
// nonsense but never past `s.size()` as long as `i < s.size()` holds and the
// text was validated.
size_t decodeUtf8At(std::string_view s, size_t i, char32_t* out);

// Length in bytes of the code point that ends at `end` (exclusive) in valid
// UTF-8; `end` must be greater than 0.
size_t utf8LengthBefore(std::string_view s, size_t end);

}  // namespace ql
