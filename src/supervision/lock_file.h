// The service's lock file: which process id it names, if any usable one.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace ql::supervision {

// A lock file is a few dozen bytes, but the service owns its format and may
// add members (a long URL, a list of endpoints) without telling us: the whole
// file is read up to this generous bound. Refusing a merely large file would
// make a live service look dead, and the launcher would then stop a service
// it did not start. Past the bound the file reads as unreadable, as a
// missing one does: the memory a hostile file can cost stays a few MiB.
inline constexpr size_t kMaxLockFileBytes = size_t(4) << 20;

// The "pid" member of a lock file's JSON object, when it is an integer that
// can name one process: 1 to 2^31-1. Zero and negative values address
// process groups (kill(0, 0) and kill(-1, 0) succeed for any caller), so
// they never count. Anything else (not JSON, not an object, no "pid", a
// string, a fraction, a boolean, out of range) gives nothing.
std::optional<int> lockFileProcessId(std::string_view text);

}  // namespace ql::supervision
