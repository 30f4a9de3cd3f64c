// The service's lock file: which process id it names, if any usable one.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace ql::supervision {

// A lock file is a few dozen bytes; anything far larger is not one, and is
// not read whole into memory.
inline constexpr size_t kMaxLockFileBytes = 64 * 1024;

// The "pid" member of a lock file's JSON object, when it is an integer that
// can name one process: 1 to 2^31-1. Zero and negative values address
// process groups (kill(0, 0) and kill(-1, 0) succeed for any caller), so
// they never count. Anything else (not JSON, not an object, no "pid", a
// string, a fraction, a boolean, out of range) gives nothing.
std::optional<int> lockFileProcessId(std::string_view text);

}  // namespace ql::supervision
