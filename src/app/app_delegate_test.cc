// Launcher state: construction, the process-wide values, the activation
// policy decisions and the application menu.
#include "app/app_delegate.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/fakes/test_platform.h"

namespace ql::testing {
namespace {

// Counts the executability probes, to show which values were computed.
class CountingFiles : public ForwardingFileManager {
 public:
  using ForwardingFileManager::ForwardingFileManager;
  bool isExecutableFile(const std::string& p) override {
    ++executableProbes;
    return ForwardingFileManager::isExecutableFile(p);
  }
  int executableProbes = 0;
};

TEST(AppDelegateTest, PathsDeriveFromBundleAndHome) {
  TestPlatform t;
  auto d = t.makeDelegate();
  EXPECT_EQ(d->zvd(), t.home + "/.quillmark");
  EXPECT_EQ(d->bundledSeed(), t.bundle.path + "/Contents/Resources/bin/quillmark");
  EXPECT_EQ(d->shellURL(), t.bundle.path + "/Contents/Helpers/Quillmark Shell.app/Contents/MacOS/Quillmark Shell");
  EXPECT_EQ(d->zorvan(), "");
  EXPECT_FALSE(d->ownsDaemon());
  EXPECT_TRUE(d->logIsStandardError());
}

TEST(AppDelegateTest, EmptyNoWindowValueCountsAndSkipsTheShellProbe) {
  TestPlatform t;
  t.makeBundle(/*withShell=*/true);
  CountingFiles counting(t.files);
  t.fileManager = &counting;
  t.process.env["ZORVAN_NO_WINDOW"] = "";
  auto d = t.makeDelegate();
  EXPECT_TRUE(d->noWindowRequested());
  EXPECT_FALSE(d->shellMode());
  EXPECT_EQ(counting.executableProbes, 0);
}

TEST(AppDelegateTest, ShellModeNeedsAnExecutableShell) {
  struct Case {
    const char* name;
    bool present;
    unsigned mode;
    bool shellMode;
  } cases[] = {
      {"missing", false, 0, false},
      {"not executable", true, 0644, false},
      {"executable", true, 0755, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestPlatform t;
    t.makeBundle(c.present);
    if (c.present) {
      ASSERT_EQ(::chmod((t.bundle.path + "/Contents/Helpers/Quillmark Shell.app/Contents/MacOS/Quillmark Shell").c_str(),
                        c.mode),
                0);
    }
    auto d = t.makeDelegate();
    EXPECT_EQ(d->shellMode(), c.shellMode);
  }
}

TEST(AppDelegateTest, ProcessWideValuesNeverChangeAfterTheFirstRead) {
  TestPlatform t;
  t.makeBundle(/*withShell=*/true);
  auto d = t.makeDelegate();
  ASSERT_TRUE(d->shellMode());
  t.process.env["ZORVAN_NO_WINDOW"] = "1";
  ASSERT_EQ(::chmod(d->shellURL().c_str(), 0644), 0);
  EXPECT_FALSE(d->noWindowRequested());
  EXPECT_TRUE(d->shellBinaryUsable());
  EXPECT_TRUE(d->shellMode());
}

TEST(AppDelegateTest, ActivationPolicyDecisions) {
  // Install offers are switched off here; the install-eligibility tests cover
  // the regular policy that an expected prompt forces at the entry point.
  for (bool withShell : {false, true}) {
    SCOPED_TRACE(withShell ? "shell mode" : "browser mode");
    TestPlatform t;
    t.process.env["ZORVAN_SKIP_INSTALL"] = "";
    t.makeBundle(withShell);
    auto d = t.makeDelegate();
    ActivationPolicy expected = withShell ? ActivationPolicy::kAccessory : ActivationPolicy::kRegular;
    EXPECT_EQ(d->entryActivationPolicy(), expected);
    EXPECT_EQ(d->startupActivationPolicy(), expected);
    d->enterBrowserFallback();
    EXPECT_EQ(d->startupActivationPolicy(), ActivationPolicy::kRegular);
  }
}

TEST(AppDelegateTest, MainMenuHoldsOpenSeparatorQuit) {
  TestPlatform t;
  auto d = t.makeDelegate();
  d->installMainMenu();
  auto main = t.application.mainMenu();
  ASSERT_TRUE(main);
  ASSERT_EQ(main->items.size(), 1u);
  const MenuItem& holder = main->items[0];
  EXPECT_EQ(holder.title, "");
  ASSERT_TRUE(holder.submenu);
  const auto& items = holder.submenu->items;
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].title, "Open Quillmark");
  EXPECT_EQ(items[0].action, "openInBrowser:");
  EXPECT_EQ(items[0].keyEquivalent, "n");
  EXPECT_TRUE(items[1].separator);
  EXPECT_EQ(items[2].title, "Quit Quillmark");
  EXPECT_EQ(items[2].action, "terminate:");
  EXPECT_EQ(items[2].keyEquivalent, "q");
}

TEST(ExpandTildeTest, Cases) {
  FakeProcessInfo p;
  p.home = "/home/u";
  p.users = {{"ann", "/srv/ann"}};
  struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"~", "/home/u"},           {"~/x/y", "/home/u/x/y"}, {"~ann/data", "/srv/ann/data"},
      {"~ann", "/srv/ann"},       {"~nobody-here/x", "~nobody-here/x"},
      {"/abs/~/x", "/abs/~/x"},   {"rel", "rel"},           {"", ""},
  };
  for (auto& c : cases) EXPECT_EQ(expandTilde(p, c.in), c.out) << c.in;
}

}  // namespace
}  // namespace ql::testing
