#include "supervision/command_report.h"

#include <cstdint>

#include "common/text.h"
#include "common/utf8.h"

namespace ql::supervision {

namespace {

bool endsNonceRun(char32_t c) { return c == '&' || c == '"' || c == '\'' || isUnicodeWhitespace(c); }

}  // namespace

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
      size_t len = decodeUtf8At(s, runEnd, &c);
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
  if (!isValidUtf8(bytes)) return std::nullopt;
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
