// The config.toml scanner: every rule of the line scanner in one table, the
// character classes at their edges, and input that is not text at all.
#include "datadir/config_scanner.h"

#include "common/utf8.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <optional>
#include <string>

namespace ql::datadir {
namespace {

using std::string_literals::operator""s;

struct ScanCase {
  const char* name;
  std::string input;
  std::optional<std::string> want;  // nullopt: the launcher home is used
};

const ScanCase kScanCases[] = {
    // Nothing to find.
    {"empty file", "", std::nullopt},
    {"only other keys", "port = 8080\nname = 'x'\n", std::nullopt},
    {"blank lines only", "\n\n\r\n", std::nullopt},

    // Recognised forms.
    {"literal absolute path", "data_dir = '/srv/quill'\n", "/srv/quill"},
    {"no newline at end", "data_dir='/a'", "/a"},
    {"indented by spaces and tabs", "  \t data_dir = '/a'\n", "/a"},
    {"trimmed by Unicode Zs (em space, ideographic space)", "\u2003\u3000data_dir = '/a'\u3000\n", "/a"},
    {"no-break spaces around =", "data_dir\u00A0=\u00A0'/a'", "/a"},
    {"line separator around = is \\s", "data_dir\u2028=\u2029'/a'", "/a"},
    {"vertical tab around = is \\s", "data_dir\v=\f'/a'", "/a"},
    {"later line after other keys", "port = 1\ndata_dir = '/a'\n", "/a"},
    {"trailing comment ignored", "data_dir = '/a' # where the data lives\n", "/a"},
    {"any text after the closing quote ignored", "data_dir = \"/a\"garbage'\n", "/a"},
    {"tilde kept for the caller", "data_dir = '~/q'\n", "~/q"},
    {"non-ASCII and astral characters", "data_dir = '/d\u00e9j\u00e0/\U0001F600'\n", "/d\u00e9j\u00e0/\U0001F600"},
    {"empty literal is a value", "data_dir = ''\n", ""},
    {"empty basic is a value", "data_dir = \"\"\n", ""},

    // Trimming is tab and Zs only.
    {"line separator is not trimmed", "\u2028data_dir = '/a'\n", std::nullopt},
    {"vertical tab is not trimmed", "\vdata_dir = '/a'\n", std::nullopt},
    {"zero-width space is not trimmed", "\u200Bdata_dir = '/a'\n", std::nullopt},

    // Lines that begin with data_dir but are not the key.
    {"upper case key", "DATA_DIR = '/a'\n", std::nullopt},
    {"longer key", "data_directory = '/a'\n", std::nullopt},
    {"dotted key", "data_dir.path = '/a'\n", std::nullopt},
    {"text between key and =", "data_dir x = '/a'\n", std::nullopt},
    {"unquoted value", "data_dir = /a\n", std::nullopt},
    {"nothing after =", "data_dir =\n", std::nullopt},
    {"unterminated literal", "data_dir = '/a\n", std::nullopt},
    {"unterminated basic", "data_dir = \"/a\n", std::nullopt},
    {"basic closed only by an escaped quote", "data_dir = \"/a\\\"\n", std::nullopt},
    {"unquoted first, valid later", "data_dir = /a\ndata_dir = '/b'\n", "/b"},
    {"first valid line wins", "data_dir = '/a'\ndata_dir = '/b'\n", "/a"},

    // Comments and tables.
    {"commented out", "# data_dir = '/a'\n", std::nullopt},
    {"table header before the key", "[server]\ndata_dir = '/a'\n", std::nullopt},
    {"indented table header", "  [server]\ndata_dir = '/a'\n", std::nullopt},
    {"array-of-tables header", "[[x]]\ndata_dir = '/a'\n", std::nullopt},
    {"key before the header", "data_dir = '/a'\n[server]\ndata_dir = '/b'\n", "/a"},
    {"unrecognised key line then header", "data_dir = /a\n[t]\ndata_dir = '/b'\n", std::nullopt},

    // Line ends.
    {"CRLF", "port = 1\r\ndata_dir = \"/x\"\r\n[t]\r\n", "/x"},
    {"CRLF value stops before CR", "data_dir = '/x'\r\n", "/x"},
    {"bare CR does not end a line", "data_dir = '/a'\rdata_dir = '/b'\n", "/a"},
    {"lone CR after an escape backslash", "data_dir = \"a\\\rb\"", std::nullopt},
    {"escape before NEL fails the pattern", "data_dir = \"a\\\u0085b\"\n", std::nullopt},

    // Literal strings are taken as written.
    {"literal keeps backslashes and double quotes", "data_dir = 'C:\\n\"x\\\\'\n", "C:\\n\"x\\\\"},
    {"literal keeps a NUL", "data_dir = 'a\0b'\n"s, "a\0b"s},
    {"literal tried first", "data_dir = '\"x\"'\n", "\"x\""},

    // Basic-string unescaping.
    {"escaped quote, backslash and tab", "data_dir = \"a\\\"b\\\\c\\td\"\n", "a\"b\\c\td"},
    {"newline and carriage return escapes", "data_dir = \"a\\nb\\rc\"\n", "a\nb\rc"},
    {"escaped backslash before n stays two characters", "data_dir = \"x\\\\ny\"\n", "x\\ny"},
    {"three backslashes and a quote", "data_dir = \"x\\\\\\\"y\"\n", "x\\\"y"},
    {"unicode escape kept as written", "data_dir = \"caf\\u00e9\"\n", "caf\\u00e9"},
    {"other escapes kept as written", "data_dir = \"\\b\\f\\q\"\n", "\\b\\f\\q"},
    {"bare NUL becomes a backslash", "data_dir = \"a\0b\"\n"s, "a\\b"},
    {"single quote inside basic", "data_dir = \"it's\"\n", "it's"},

    // Not UTF-8 anywhere in the file, even after the key: no value.
    {"invalid byte after the key line", "data_dir = '/a'\n\xff\n", std::nullopt},
    {"overlong slash", "data_dir = '\xC0\xAF'\n", std::nullopt},
    {"UTF-16 surrogate", "data_dir = '\xED\xA0\x80'\n", std::nullopt},
    {"truncated sequence at the end", "data_dir = '/a'\n\xE2\x82", std::nullopt},
    {"above U+10FFFF", "data_dir = '\xF4\x90\x80\x80'\n", std::nullopt},
    {"Latin-1 text", "data_dir = '/caf\xe9'\n", std::nullopt},

    // Signature and control bytes.
    {"byte-order mark skipped", "\xEF\xBB\xBF" "data_dir = '/a'\n", "/a"},
    {"NULs on an earlier line", "\0\0\0\ndata_dir = '/a'\n"s, "/a"},
};

class ScanTableTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanTableTest, FindsTheValueTheRulesGive) {
  const ScanCase& c = GetParam();
  EXPECT_EQ(scanDataDirValue(c.input), c.want);
}

INSTANTIATE_TEST_SUITE_P(Lines, ScanTableTest, ::testing::ValuesIn(kScanCases),
                         [](const ::testing::TestParamInfo<ScanCase>& row) {
                           std::string n;
                           for (char ch : std::string(row.param.name)) {
                             n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                           }
                           return n + "_" + std::to_string(row.index);
                         });

TEST(CharacterClassTest, TrimSetIsTabAndZsAndPatternSpaceIsWhiteSpace) {
  struct {
    char32_t c;
    bool trim, pattern;
  } cases[] = {
      {U'\t', true, true},     {U' ', true, true},      {0x00A0, true, true},  {0x1680, true, true},
      {0x2000, true, true},    {0x200A, true, true},    {0x202F, true, true},  {0x205F, true, true},
      {0x3000, true, true},    {U'\n', false, true},    {U'\v', false, true},  {U'\f', false, true},
      {U'\r', false, true},    {0x0085, false, true},   {0x2028, false, true}, {0x2029, false, true},
      {0x200B, false, false},  {0x180E, false, false},  {0xFEFF, false, false}, {U'x', false, false},
      {0x0000, false, false},  {0x200C, false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isTrimSpace(c.c), c.trim) << std::hex << static_cast<uint32_t>(c.c);
    EXPECT_EQ(isPatternSpace(c.c), c.pattern) << std::hex << static_cast<uint32_t>(c.c);
  }
}

TEST(ScanInputTest, BinaryGarbageNeverYieldsAValue) {
  // Deterministic pseudo-random bytes: almost surely not UTF-8, and the
  // scanner must simply say so.
  std::string junk;
  uint32_t x = 12345;
  for (int i = 0; i < 1 << 16; ++i) {
    x = x * 1103515245 + 12345;
    junk.push_back(static_cast<char>(x >> 24));
  }
  EXPECT_FALSE(isValidUtf8(junk));
  EXPECT_EQ(scanDataDirValue("data_dir = '/a'\n" + junk), std::nullopt);
}

TEST(ScanInputTest, OneLongLineIsScannedInOnePass) {
  // A 1 MiB basic string full of escaped backslashes: the hand matcher is
  // linear, so this is quick even under sanitizers.
  std::string body;
  for (int i = 0; i < (1 << 19); ++i) body += "\\\\";
  auto v = scanDataDirValue("data_dir = \"" + body + "\"\n");
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->size(), size_t(1) << 19);
  EXPECT_EQ(v->find_first_not_of('\\'), std::string::npos);
}

}  // namespace
}  // namespace ql::datadir
