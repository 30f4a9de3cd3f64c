// What a child writes to standard error ends up in the launcher log with
// its nonces redacted; a nonce that slips through is a leaked secret.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/text.h"
#include "common/utf8.h"
#include "supervision/command_report.h"

namespace {

bool isTerminator(std::string_view rest) {
  if (rest.empty()) return true;
  char c = rest.front();
  if (c == '&' || c == '"' || c == '\'') return true;
  // Whitespace ends a nonce: decode the next character and ask.
  unsigned char b = static_cast<unsigned char>(c);
  char32_t cp = b;
  size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
  if (n > 1) {
    cp = b & (0x7F >> n);
    for (size_t i = 1; i < n && i < rest.size(); ++i) cp = (cp << 6) | (static_cast<unsigned char>(rest[i]) & 0x3F);
  }
  return ql::isUnicodeWhitespace(cp);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!ql::isValidUtf8(text)) {
    // Not UTF-8: never logged at all.
    if (ql::supervision::standardErrorReport("run stderr [", {"/bin/zorvan", "open"}, text)) __builtin_trap();
    return 0;
  }
  std::string out = ql::supervision::redactNonces(text);
  if (!ql::isValidUtf8(out)) __builtin_trap();
  // Every "nonce=" left is followed by nothing, a terminator, or REDACTED
  // and then a terminator.
  for (size_t at = out.find("nonce="); at != std::string::npos; at = out.find("nonce=", at + 1)) {
    std::string_view rest = std::string_view(out).substr(at + 6);
    if (isTerminator(rest)) continue;
    if (rest.substr(0, 8) != "REDACTED" || !isTerminator(rest.substr(8))) __builtin_trap();
  }
  // Redacting twice changes nothing more.
  if (ql::supervision::redactNonces(out) != out) __builtin_trap();
  (void)ql::supervision::standardErrorReport("capture stderr [", {"/bin/zorvan", "open"}, text);
  return 0;
}
