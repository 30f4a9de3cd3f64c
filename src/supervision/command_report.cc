#include "supervision/command_report.h"

#include <cstdint>

#include "datadir/config_scanner.h"

namespace ql::supervision {

namespace {

// Decodes the code point at `i` of valid UTF-8 and returns its length.
size_t decodeAt(std::string_view s, size_t i, char32_t* out) {
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

// Length of the code point that ends at `end` (exclusive) in valid UTF-8.
size_t lengthBefore(std::string_view s, size_t end) {
  size_t i = end - 1;
  while (i > 0 && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) --i;
  return end - i;
}

bool endsNonceRun(char32_t c) { return c == '&' || c == '"' || c == '\'' || isUnicodeWhitespace(c); }

}  // namespace

bool isUnicodeWhitespace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string trimWhitespace(std::string_view s) {
  size_t begin = 0, end = s.size();
  while (begin < end) {
    char32_t c;
    size_t len = decodeAt(s, begin, &c);
    if (!isUnicodeWhitespace(c)) break;
    begin += len;
  }
  while (end > begin) {
    size_t len = lengthBefore(s, end);
    char32_t c;
    decodeAt(s, end - len, &c);
    if (!isUnicodeWhitespace(c)) break;
    end -= len;
  }
  return std::string(s.substr(begin, end - begin));
}

std::string redactNonces(std::string_view s) {
  static constexpr std::string_view kKey = "nonce=";
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    size_t at = s.find(kKey, i);
    if (at == std::string_view::npos) break;
    size_t runStart = at + kKey.size();
    size_t runEnd = runStart;
    while (runEnd < s.size()) {
      char32_t c;
      size_t len = decodeAt(s, runEnd, &c);
      if (endsNonceRun(c)) break;
      runEnd += len;
    }
    if (runEnd == runStart) {
      // "nonce=" with nothing to hide: keep it and look further on.
      out.append(s.substr(i, runStart - i));
      i = runStart;
      continue;
    }
    out.append(s.substr(i, runStart - i));
    out.append("REDACTED");
    i = runEnd;
  }
  out.append(s.substr(i));
  return out;
}

std::optional<std::string> standardErrorReport(std::string_view prefix,
                                               const std::vector<std::string>& arguments,
                                               std::string_view bytes) {
  if (!datadir::isValidUtf8(bytes)) return std::nullopt;
  std::string text = trimWhitespace(bytes);
  if (text.empty()) return std::nullopt;
  std::string line(prefix);
  for (size_t k = 0; k < arguments.size(); ++k) {
    if (k) line += ' ';
    line += arguments[k];
  }
  line += "]: ";
  line += redactNonces(text);
  return line;
}

}  // namespace ql::supervision
