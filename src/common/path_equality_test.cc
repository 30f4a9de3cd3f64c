// Path equality: canonical equivalence and nothing more.
#include "common/path_equality.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unicode/uvernum.h>

#include <cstdlib>

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
      // Non-ASCII on one side only can still decompose to plain ASCII.
      {"/h/\u212A", "/h/K", true},                                            // Kelvin sign
      {"/h/a\u037E", "/h/a;", true},                                          // Greek question mark
      {"/h/\u212A", "/h/k", false},
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

#define QL_STRING2(x) #x
#define QL_STRING(x) QL_STRING2(x)

// Whether ICU is mapped into this process (RTLD_NOLOAD loads nothing).
bool icuLoaded() {
  void* h = ::dlopen("libicuuc.so." QL_STRING(U_ICU_VERSION_MAJOR_NUM), RTLD_NOW | RTLD_NOLOAD);
  if (h) ::dlclose(h);
  return h != nullptr;
}

// In a fresh process (the death test re-runs the binary), so that no earlier
// comparison has loaded ICU already.
TEST(PathEqualityLoadingTest, IcuIsLoadedOnlyForNonAsciiPaths) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        if (icuLoaded()) std::_Exit(1);
        bool asciiRight = !pathsEqual("/home/a/.quillmark", "/home/a/.zorvan") &&
                          pathsEqual("/home/a/.quillmark", "/home/a/.quillmark");
        if (!asciiRight || icuLoaded()) std::_Exit(2);
        if (!pathsEqual("/h/Ren\u00e9e", "/h/Rene\u0301e") || !icuLoaded()) std::_Exit(3);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace ql
