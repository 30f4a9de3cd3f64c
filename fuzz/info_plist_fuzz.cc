// Info.plist bytes come from the bundle on disk, which anyone who can write
// the download folder controls.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/linux/linux_basics.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto info = ql::linux_backend::parseInfoPlist(std::string(reinterpret_cast<const char*>(data), size));
  for (auto& [key, value] : info) {
    if (value.isString()) (void)value.string.size();
  }
  return 0;
}
