#include "common/utf8.h"

namespace ql {

bool isValidUtf8(std::string_view bytes) {
  size_t i = 0;
  const size_t n = bytes.size();
  while (i < n) {
    unsigned char b = static_cast<unsigned char>(bytes[i]);
    if (b < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    char32_t c, least;
    if ((b & 0xE0) == 0xC0) {
      len = 2, c = b & 0x1F, least = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3, c = b & 0x0F, least = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4, c = b & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      unsigned char t = static_cast<unsigned char>(bytes[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      c = (c << 6) | (t & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

size_t decodeUtf8At(std::string_view s, size_t i, char32_t* out) {
  auto b = static_cast<unsigned char>(s[i]);
  if (b < 0x80) {
    *out = b;
    return 1;
  }
  size_t len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
  char32_t c = b & (0xFF >> (len + 1));
  for (size_t k = 1; k < len; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  *out = c;
  return len;
}

size_t utf8LengthBefore(std::string_view s, size_t end) {
  size_t i = end - 1;
  while (i > 0 && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) --i;
  return end - i;
}

}  // namespace ql
