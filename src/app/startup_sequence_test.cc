// The start-up routine end to end on fakes: order of steps, the log it
// leaves, the launch decision, and the fatal paths of the locate step.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "app/app_delegate.h"
#include "tests/fakes/test_platform.h"

namespace ql::testing {
namespace {

struct StartupFixture : ::testing::Test {
  TestPlatform t;
  void SetUp() override { t.process.env["ZORVAN_SKIP_INSTALL"] = "1"; }
  std::string zvd() { return t.home + "/.quillmark"; }
};

TEST_F(StartupFixture, BrowserModeStartLogsLaunchAndTheMissingShell) {
  t.makeBundle(/*withShell=*/false);
  auto d = t.makeDelegate();
  d->applicationDidFinishLaunching();

  ASSERT_TRUE(t.application.mainMenu());
  EXPECT_EQ(t.application.policies().front(), ActivationPolicy::kRegular);
  bool isDir = false;
  EXPECT_TRUE(t.realFiles.fileExists(zvd() + "/logs", &isDir) && isDir);
  EXPECT_TRUE(t.realFiles.fileExists(zvd() + "/bin", &isDir) && isDir);
  EXPECT_EQ(d->zorvan(), zvd() + "/bin/quillmark");

  std::string log = t.logFileText();
  std::string launch = "[2026-12-10T00:00:00Z] launch " + t.bundle.path + "\n";
  EXPECT_EQ(log.find(launch), 0u) << log;
  EXPECT_NE(log.find("] no window shell at " + d->shellURL() + " — legacy browser mode (serve --app)\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(t.stderrText().find("launch "), std::string::npos) << "after the open, lines go to the file only";
}

TEST_F(StartupFixture, NoWindowRequestedWinsOverAUsableShell) {
  t.makeBundle(/*withShell=*/true);
  t.process.env["ZORVAN_NO_WINDOW"] = "";
  auto d = t.makeDelegate();
  d->applicationDidFinishLaunching();
  std::string log = t.logFileText();
  EXPECT_NE(log.find("] ZORVAN_NO_WINDOW set — legacy browser mode (serve --app)\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("shell: launched"), std::string::npos);
}

TEST_F(StartupFixture, ShellModeStartsAsAccessory) {
  t.makeBundle(/*withShell=*/true);
  auto d = t.makeDelegate();
  d->applicationDidFinishLaunching();
  ASSERT_FALSE(t.application.policies().empty());
  EXPECT_EQ(t.application.policies().front(), ActivationPolicy::kAccessory);
}

TEST_F(StartupFixture, WhatTheChecksUsedIsGivenBackOnceTheLaunchIsUnderWay) {
  t.makeBundle(/*withShell=*/true);
  auto d = t.makeDelegate();
  d->applicationDidFinishLaunching();
  const std::vector<std::string>& calls = t.fakeCodeSigning.calls;
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back(), "releaseUnusedMemory");
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "releaseUnusedMemory"), 1);
  // Both checks of a first launch (the bundle, then the seeded copy) came first.
  EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                          [](const std::string& c) { return c.rfind("checkValidity", 0) == 0; }),
            2);
  EXPECT_NE(t.logFileText().find("] shell: "), std::string::npos) << "the launch decision came first";
}

TEST_F(StartupFixture, ServiceBinaryWithoutExecuteBitEndsInTheLocateAlert) {
  t.makeBundle();
  ASSERT_EQ(::chmod((t.bundle.path + "/Contents/Resources/bin/quillmark").c_str(), 0644), 0);
  auto d = t.makeDelegate();
  d->applicationDidFinishLaunching();
  EXPECT_TRUE(t.alerts.shown().empty()) << "the alert comes after the routine returns";
  t.dispatch.drain();
  auto shown = t.alerts.shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].informativeText, "Couldn't locate a verified Quillmark daemon binary at " + zvd() +
                                          "/bin/quillmark. Re-download and reinstall.\n\nSee "
                                          "~/.quillmark/logs/app.log for details.");
  EXPECT_EQ(d->zorvan(), "");
  EXPECT_TRUE(t.application.terminated());
}

TEST_F(StartupFixture, PlainFileAsHomeEndsInTheSeedingAlert) {
  t.makeBundle();
  writeFile(zvd(), "not a directory");
  auto d = t.makeDelegate();
  d->applicationDidFinishLaunching();
  EXPECT_TRUE(d->logIsStandardError());
  EXPECT_NE(t.stderrText().find("] seed failed ("), std::string::npos) << t.stderrText();
  t.dispatch.drain();
  auto shown = t.alerts.shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].informativeText.rfind("Couldn't install the Quillmark daemon into " + zvd() + "/bin:\n", 0), 0u)
      << shown[0].informativeText;
  EXPECT_NE(shown[0].informativeText.find("\n\nCheck free disk space and permissions, then re-launch."),
            std::string::npos);
}

}  // namespace
}  // namespace ql::testing
