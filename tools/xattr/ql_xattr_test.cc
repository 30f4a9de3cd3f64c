// ql-xattr on a real tree: the quarantine mark goes from every entry, links
// are not followed out of the tree, other attributes stay, and misuse fails.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <cstdlib>
#include <cstring>

#include "tests/fakes/test_platform.h"

namespace ql::testing {
namespace {

const char* const kMark = "user.com.apple.quarantine";

bool hasAttribute(const std::string& path, const char* name) {
  char buf[64];
  return ::lgetxattr(path.c_str(), name, buf, sizeof buf) >= 0;
}

void mark(const std::string& path, const char* name = kMark) {
  ASSERT_EQ(::lsetxattr(path.c_str(), name, "0081;6543;Safari;", 17, 0), 0) << path << ": " << std::strerror(errno);
}

int run(const std::string& arguments) {
  int status = std::system((std::string(QL_XATTR_TOOL) + " " + arguments + " 2>/dev/null").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(QuarantineTool, RemovesTheMarkFromTheWholeTreeAndNothingElse) {
  TempDir tmp;
  const std::string app = tmp.path() + "/.Quillmark.install.812";
  makeDirs(app + "/Contents/MacOS");
  makeDirs(app + "/Contents/Resources/deep/er");
  writeFile(app + "/Contents/MacOS/Quillmark", "#!/bin/sh\n", 0755);
  writeFile(app + "/Contents/Resources/deep/er/data", "x");
  writeFile(app + "/Contents/Resources/readonly", "x", 0444);
  const std::string outside = tmp.path() + "/outside";
  writeFile(outside, "x");
  makeLink(app + "/Contents/Resources/link-out", outside);
  makeLink(app + "/Contents/Resources/dangling", tmp.path() + "/nowhere");
  for (const char* rel : {"", "/Contents", "/Contents/MacOS/Quillmark", "/Contents/Resources/deep/er",
                          "/Contents/Resources/deep/er/data", "/Contents/Resources/readonly"}) {
    mark(app + rel);
  }
  mark(outside);
  mark(app + "/Contents/Resources/deep/er/data", "user.kept");

  ASSERT_EQ(run("-dr com.apple.quarantine '" + app + "'"), 0);

  for (const char* rel : {"", "/Contents", "/Contents/MacOS/Quillmark", "/Contents/Resources/deep/er",
                          "/Contents/Resources/deep/er/data", "/Contents/Resources/readonly"}) {
    EXPECT_FALSE(hasAttribute(app + rel, kMark)) << rel;
  }
  EXPECT_TRUE(hasAttribute(outside, kMark)) << "a link is never followed out of the tree";
  EXPECT_TRUE(hasAttribute(app + "/Contents/Resources/deep/er/data", "user.kept"));

  // Again, with nothing left to remove: still success.
  EXPECT_EQ(run("-dr com.apple.quarantine '" + app + "'"), 0);
}

TEST(QuarantineTool, WithoutRecursionOnlyTheNamedEntry) {
  TempDir tmp;
  makeDirs(tmp.path() + "/d");
  writeFile(tmp.path() + "/d/f", "x");
  mark(tmp.path() + "/d");
  mark(tmp.path() + "/d/f");
  ASSERT_EQ(run("-d com.apple.quarantine '" + tmp.path() + "/d'"), 0);
  EXPECT_FALSE(hasAttribute(tmp.path() + "/d", kMark));
  EXPECT_TRUE(hasAttribute(tmp.path() + "/d/f", kMark));
}

TEST(QuarantineTool, MisuseAndMissingPathsFail) {
  TempDir tmp;
  const std::vector<std::pair<std::string, int>> cases = {
      {"", 2},
      {"-dr", 2},
      {"-dr com.apple.quarantine", 2},
      {"-x com.apple.quarantine '" + tmp.path() + "'", 2},
      {"com.apple.quarantine '" + tmp.path() + "'", 2},
      {"-dr com.apple.quarantine '" + tmp.path() + "/missing'", 1},
  };
  for (const auto& [args, expected] : cases) EXPECT_EQ(run(args), expected) << args;
}

}  // namespace
}  // namespace ql::testing
