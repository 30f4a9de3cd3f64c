#include "datadir/config_scanner.h"

#include <vector>

#include "common/text.h"
#include "common/utf8.h"

namespace ql::datadir {

namespace {

// One decoded character of a line and where its bytes are.
struct Char {
  char32_t c;
  size_t offset;
  size_t length;
};

// Decodes the character at `i` of text already known to be valid UTF-8.
Char decodeAt(std::string_view s, size_t i) {
  Char ch{0, i, 0};
  ch.length = decodeUtf8At(s, i, &ch.c);
  return ch;
}

// The characters an ICU "." refuses when the pattern has no dot-all option.
bool isLineTerminator(char32_t c) {
  return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

void replaceAll(std::string& s, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(s.size());
  size_t pos = 0;
  for (;;) {
    size_t hit = s.find(from, pos);
    if (hit == std::string::npos) break;
    out.append(s, pos, hit - pos);
    out.append(to);
    pos = hit + from.size();
  }
  out.append(s, pos, std::string::npos);
  s = std::move(out);
}

// Escaped backslashes are parked on U+0000 first so that "\\n" stays a
// backslash and an n; a bare U+0000 in the value therefore also ends up as a
// backslash. All the characters involved are ASCII, so working on the UTF-8
// bytes is the same as working on the characters.
std::string unescapeBasic(std::string value) {
  replaceAll(value, "\\\\", std::string_view("\0", 1));
  replaceAll(value, "\\\"", "\"");
  replaceAll(value, "\\n", "\n");
  replaceAll(value, "\\r", "\r");
  replaceAll(value, "\\t", "\t");
  replaceAll(value, std::string_view("\0", 1), "\\");
  return value;
}

enum class LineOutcome { kNext, kStop, kValue };

struct LineResult {
  LineOutcome outcome = LineOutcome::kNext;
  std::string value;
};

// The two patterns, ^data_dir\s*=\s*'([^']*)' and
// ^data_dir\s*=\s*"((?:[^"\\]|\\.)*)", matched by hand over the characters
// of a trimmed line. Neither \s nor either class can match "=" or a quote, so
// a single greedy left-to-right pass finds the same match a backtracking
// engine would.
LineResult scanLine(std::string_view line) {
  std::vector<Char> chars;
  for (size_t i = 0; i < line.size();) {
    Char ch = decodeAt(line, i);
    chars.push_back(ch);
    i += ch.length;
  }
  size_t begin = 0, end = chars.size();
  while (begin < end && isTrimSpace(chars[begin].c)) ++begin;
  while (end > begin && isTrimSpace(chars[end - 1].c)) --end;
  if (begin == end) return {};
  if (chars[begin].c == '[') return {LineOutcome::kStop, {}};

  static constexpr std::string_view kKey = "data_dir";
  if (end - begin < kKey.size()) return {};
  for (size_t k = 0; k < kKey.size(); ++k) {
    if (chars[begin + k].c != static_cast<char32_t>(kKey[k])) return {};
  }

  // data_dir \s* = \s*
  size_t at = begin + kKey.size();
  while (at < end && isPatternSpace(chars[at].c)) ++at;
  if (at >= end || chars[at].c != '=') return {};
  ++at;
  while (at < end && isPatternSpace(chars[at].c)) ++at;
  if (at >= end) return {};

  auto bytesBetween = [&](size_t open, size_t close) {
    size_t from = chars[open].offset + chars[open].length;
    return std::string(line.substr(from, chars[close].offset - from));
  };

  if (chars[at].c == '\'') {
    for (size_t k = at + 1; k < end; ++k) {
      if (chars[k].c == '\'') return {LineOutcome::kValue, bytesBetween(at, k)};
    }
    return {};  // no closing quote; the basic pattern cannot match a '
  }
  if (chars[at].c == '"') {
    for (size_t k = at + 1; k < end;) {
      if (chars[k].c == '"') return {LineOutcome::kValue, unescapeBasic(bytesBetween(at, k))};
      if (chars[k].c == '\\') {
        if (k + 1 >= end || isLineTerminator(chars[k + 1].c)) return {};
        k += 2;
      } else {
        ++k;
      }
    }
  }
  return {};
}

}  // namespace

bool isTrimSpace(char32_t c) { return c == 0x09 || isSpaceSeparator(c); }

// ICU's \s is the White_Space property.
bool isPatternSpace(char32_t c) { return isUnicodeWhitespace(c); }

std::optional<std::string> scanDataDirValue(std::string_view text) {
  if (!isValidUtf8(text)) return std::nullopt;
  // Editors on some systems start UTF-8 files with a byte-order mark; it is
  // an encoding signature, not part of the first line.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  size_t pos = 0;
  for (;;) {
    size_t lf = text.find('\n', pos);
    std::string_view line = text.substr(pos, lf == std::string_view::npos ? std::string_view::npos : lf - pos);
    if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    LineResult r = scanLine(line);
    if (r.outcome == LineOutcome::kStop) return std::nullopt;
    if (r.outcome == LineOutcome::kValue) return std::move(r.value);
    if (lf == std::string_view::npos) return std::nullopt;
    pos = lf + 1;
  }
}

}  // namespace ql::datadir
