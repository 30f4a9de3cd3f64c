// The lock file is written by whichever process holds the data directory,
// and is read by the launcher before it removes files or decides to stay up.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "supervision/lock_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<int> pid = ql::supervision::lockFileProcessId(text);
  // Only a value that names one process may reach kill(pid, 0): zero and
  // negative values address whole process groups.
  if (pid && *pid <= 0) __builtin_trap();
  return 0;
}
