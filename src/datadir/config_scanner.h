// The one-key scanner for the service's config.toml: finds `data_dir` in the
// root table when its value is a single-line TOML string. It is not a TOML
// parser and deliberately understands nothing else.
//
// Free functions with no launcher dependency, so the demo service can read
// the same key with the same rules.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ql::datadir {

// Largest config.toml worth reading. A real one is a few hundred bytes; a
// bigger file is treated like an unreadable one (no value: the launcher home
// is used), which keeps every read cheap and bounded even when the file is
// hundreds of megabytes or a device that never ends.
inline constexpr size_t kMaxConfigBytes = size_t(1) << 20;

// The raw `data_dir` value from the bytes of config.toml: tilde not yet
// expanded, escapes of a basic string decoded. nullopt when the bytes are not
// valid UTF-8, when a table header comes before a recognised key line, or
// when no line is recognised. A leading UTF-8 byte-order mark is skipped.
// Runs in time linear in the input and never throws on any input.
std::optional<std::string> scanDataDirValue(std::string_view fileBytes);

// Character classes the scanner uses, exposed for tests.
// Trimming set: tab and the Unicode category Zs.
bool isTrimSpace(char32_t c);
// What `\s` matches in an ICU pattern: the Unicode White_Space property.
bool isPatternSpace(char32_t c);

}  // namespace ql::datadir
