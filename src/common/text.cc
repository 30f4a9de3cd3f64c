#include "common/text.h"

#include "common/utf8.h"

namespace ql {

bool isSpaceSeparator(char32_t c) {
  return c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

bool isUnicodeWhitespace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029 || isSpaceSeparator(c);
}

std::string trimWhitespace(std::string_view s) {
  size_t begin = 0, end = s.size();
  while (begin < end) {
    char32_t c;
    size_t len = decodeUtf8At(s, begin, &c);
    if (!isUnicodeWhitespace(c)) break;
    begin += len;
  }
  while (end > begin) {
    size_t len = utf8LengthBefore(s, end);
    char32_t c;
    decodeUtf8At(s, end - len, &c);
    if (!isUnicodeWhitespace(c)) break;
    end -= len;
  }
  return std::string(s.substr(begin, end - begin));
}

}  // namespace ql
