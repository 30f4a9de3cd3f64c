#include "common/utf8.h"

#include <gtest/gtest.h>

#include <string>

#include "common/text.h"

namespace ql {
namespace {

TEST(Utf8, StrictValidation) {
  struct Row {
    std::string bytes;
    bool valid;
  } table[] = {
      {"1.4.2", true},
      {"", true},
      {"caf\xc3\xa9", true},
      {"\xe2\x80\x94", true},
      {"\xf0\x9f\x98\x80", true},
      {"\xc3", false},              // truncated
      {"\xc0\xaf", false},          // overlong
      {"\xed\xa0\x80", false},      // surrogate
      {"\xf4\x90\x80\x80", false},  // above U+10FFFF
      {"\xff", false},
      {"a\x80z", false},            // stray continuation
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.bytes);
    EXPECT_EQ(isValidUtf8(row.bytes), row.valid);
  }
}

TEST(Utf8, DecodingWalksWholeCodePointsBothWays) {
  const std::string s = "a\xc3\xa9\xe2\x80\x94\xf0\x9f\x98\x80";  // a, é, em dash, emoji
  const char32_t expected[] = {U'a', 0xE9, 0x2014, 0x1F600};
  size_t i = 0;
  for (char32_t want : expected) {
    char32_t c = 0;
    size_t len = decodeUtf8At(s, i, &c);
    EXPECT_EQ(c, want);
    i += len;
    EXPECT_EQ(utf8LengthBefore(s, i), len);
  }
  EXPECT_EQ(i, s.size());
}

TEST(Text, TrimDropsUnicodeWhitespaceOnlyAtTheEnds) {
  struct Row {
    std::string in, out;
  } table[] = {
      {"  plain  ", "plain"},
      {"\t\r\nline\n", "line"},
      {"\xc2\xa0nbsp\xe3\x80\x80", "nbsp"},              // U+00A0, U+3000
      {"\xe2\x80\xa8" "a b\xc2\x85", "a b"},                // U+2028, NEL; inner space kept
      {"\xe2\x80\x8bzero-width\xe2\x80\x8b", "\xe2\x80\x8bzero-width\xe2\x80\x8b"},  // U+200B is not White_Space
      {"   ", ""},
      {"", ""},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.in);
    EXPECT_EQ(trimWhitespace(row.in), row.out);
  }
}

}  // namespace
}  // namespace ql
