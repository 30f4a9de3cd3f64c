// config.toml sits in the user's data directory, where the service, the
// user and anything running as the user can write it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/utf8.h"
#include "datadir/config_scanner.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::optional<std::string> value = ql::datadir::scanDataDirValue(bytes);
  if (!value) return 0;
  // A value only ever comes out of valid UTF-8 text, and is valid UTF-8.
  if (!ql::isValidUtf8(bytes) || !ql::isValidUtf8(*value)) __builtin_trap();
  // It is one line: the scanner never joins lines.
  if (value->find('\n') != std::string::npos && bytes.find("\\n") == std::string_view::npos) __builtin_trap();
  return 0;
}
