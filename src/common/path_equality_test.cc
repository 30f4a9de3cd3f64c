// Path equality: canonical equivalence and nothing more.
#include "common/path_equality.h"

#include <gtest/gtest.h>

namespace ql {
namespace {

TEST(PathEqualityTest, CanonicalEquivalenceOnlyNoPathNormalisation) {
  struct {
    const char* a;
    const char* b;
    bool equal;
  } cases[] = {
      {"/Users/a/.quillmark", "/Users/a/.quillmark", true},
      {"/Users/Ren\u00e9e/.zorvan", "/Users/Rene\u0301e/.zorvan", true},      // precomposed vs decomposed
      {"/h/\u1E69", "/h/s\u0323\u0307", true},                                // s + dot below + dot above
      {"/h/s\u0307\u0323", "/h/s\u0323\u0307", true},                         // combining marks reordered
      {"/h/\uAC00", "/h/\u1100\u1161", true},                                 // Hangul syllable vs jamo
      {"/h/\u212B", "/h/\u00C5", true},                                       // angstrom sign is canonical
      {"/h/\uFB01", "/h/fi", false},                                          // compatibility only
      {"/h/Ren\u00e9e", "/h/renee", false},
      {"/h/a", "/h/A", false},
      {"/h/a/", "/h/a", false},                                               // no slash folding
      {"/h/./a", "/h/a", false},
      {"/h/x/../a", "/h/a", false},
      {"", "", true},
      {"/h/a", "", false},
      // Bytes that are not UTF-8 compare as bytes: two different bad bytes
      // must not become the same replacement character.
      {"/h/\xff", "/h/\xfe", false},
      {"/h/\xff", "/h/\xff", true},
      {"/h/\xff", "/h/\uFFFD", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pathsEqual(c.a, c.b), c.equal) << c.a << " vs " << c.b;
    EXPECT_EQ(pathsEqual(c.b, c.a), c.equal) << c.b << " vs " << c.a;
  }
}

}  // namespace
}  // namespace ql
