// The text rules of the command runner's stderr report.
#include "supervision/command_report.h"

#include <gtest/gtest.h>

namespace ql::supervision {
namespace {

TEST(RedactNoncesTest, ReplacesEveryNonceValueAndKeepsWhatEndsIt) {
  struct Case {
    const char* name;
    std::string in, out;
  } cases[] = {
      {"empty", "", ""},
      {"nothing to hide", "listening on 127.0.0.1:8080", "listening on 127.0.0.1:8080"},
      {"two nonces, each followed by a parameter", "GET /cb?nonce=abc123&state=x&nonce=Zz9-_.~&next=1 ok",
       "GET /cb?nonce=REDACTED&state=x&nonce=REDACTED&next=1 ok"},
      {"ended by a space", "nonce=abc def", "nonce=REDACTED def"},
      {"ended by a tab", "nonce=abc\tdef", "nonce=REDACTED\tdef"},
      {"ended by a line feed", "nonce=abc\nnonce=def", "nonce=REDACTED\nnonce=REDACTED"},
      {"ended by quotes", "url=\"x?nonce=abc\" v='nonce=def'", "url=\"x?nonce=REDACTED\" v='nonce=REDACTED'"},
      {"ended by the end of the text", "token nonce=abc", "token nonce=REDACTED"},
      {"an empty value stays", "nonce=&a=1 nonce= b", "nonce=&a=1 nonce= b"},
      {"the key is case-sensitive", "Nonce=abc NONCE=abc", "Nonce=abc NONCE=abc"},
      {"the key may end a longer word", "cnonce=abc", "cnonce=REDACTED"},
      {"an equals sign belongs to the value", "nonce=nonce=abc&x", "nonce=REDACTED&x"},
      {"non-ASCII value", "nonce=h\xC3\xA9llo&x=1", "nonce=REDACTED&x=1"},
      {"no-break space ends the run", "nonce=abc\xC2\xA0tail", "nonce=REDACTED\xC2\xA0tail"},
      {"ideographic space ends the run", "nonce=abc\xE3\x80\x80tail", "nonce=REDACTED\xE3\x80\x80tail"},
      {"adjacent nonces", "nonce=a nonce=b", "nonce=REDACTED nonce=REDACTED"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(redactNonces(c.in), c.out);
  }
}

TEST(StandardErrorReportTest, FormatsTrimsAndSkips) {
  const std::vector<std::string> args = {"/z/bin/quillmark", "open", "nonce=inargs"};
  struct Case {
    const char* name;
    std::string bytes;
    std::optional<std::string> line;
  } cases[] = {
      {"nothing written", "", std::nullopt},
      {"only spaces and newlines", "  \n\n \t\r\n", std::nullopt},
      {"only Unicode spaces", "\xC2\xA0\xE2\x80\xA8\xE3\x80\x80", std::nullopt},
      {"not UTF-8", "boom \xFF", std::nullopt},
      {"trimmed at both ends", "\n  boom \n",
       "capture stderr [/z/bin/quillmark open nonce=inargs]: boom"},
      {"several lines in one message", "first\nsecond\n",
       "capture stderr [/z/bin/quillmark open nonce=inargs]: first\nsecond"},
      {"nonce in the text redacted, the one in the arguments kept", "GET /?nonce=s3cret&x=1\n",
       "capture stderr [/z/bin/quillmark open nonce=inargs]: GET /?nonce=REDACTED&x=1"},
      {"redaction after trimming", " nonce=abc \n", "capture stderr [/z/bin/quillmark open nonce=inargs]: nonce=REDACTED"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(standardErrorReport("capture stderr [", args, c.bytes), c.line);
  }
}

}  // namespace
}  // namespace ql::supervision
