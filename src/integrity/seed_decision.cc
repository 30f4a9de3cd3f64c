#include "integrity/seed_decision.h"

#include <cstdint>

namespace ql::seeding {

bool seedNeeded(const SeedFacts& f) {
  if (!f.homeExisted) return true;
  if (f.reseedRequested) return true;
  if (!f.seededIsExecutable) return true;
  // A development bundle has no version to compare, so every launch copies.
  if (f.bundleVersion == "dev") return true;
  if (!f.marker) return true;
  return *f.marker != f.bundleVersion;  // exact, nothing trimmed
}

bool isValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t extra;
    uint32_t cp;
    if ((c & 0xe0) == 0xc0) {
      extra = 1, cp = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
      extra = 2, cp = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
      extra = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= s.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xc0) != 0x80) return false;
      cp = cp << 6 | (d & 0x3f);
    }
    static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    i += extra + 1;
  }
  return true;
}

}  // namespace ql::seeding
