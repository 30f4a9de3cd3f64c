// Text handling for what a command wrote: nonce redaction and the one log
// line that reports a command's standard error.
// Pure functions, so every rule can be checked without running anything.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ql::supervision {

// Every "nonce=" followed by at least one character that is not '&', '"',
// '\'' or whitespace has that run replaced by "REDACTED", left to right;
// the character that ends the run stays. Valid UTF-8 in, valid UTF-8 out.
std::string redactNonces(std::string_view text);

// The log message for a command's standard error, or nothing when the bytes
// are not UTF-8 or hold only whitespace:
//   <prefix><arguments joined by " ">]: <trimmed text, nonces redacted>
// The argument list is logged as given.
std::optional<std::string> standardErrorReport(std::string_view prefix,
                                               const std::vector<std::string>& arguments,
                                               std::string_view bytes);

}  // namespace ql::supervision
