// The launcher log: line format, the switch from standard error to the log
// file with the preLog copy, raw notices, concurrent writers, and fail.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include "app/app_delegate.h"
#include "app/log_format.h"
#include "tests/fakes/test_platform.h"

namespace ql::testing {
namespace {

TimePoint at(long long secs, int millis = 0) {
  return TimePoint(std::chrono::seconds(secs)) + std::chrono::milliseconds(millis);
}

TEST(LogFormatTest, Iso8601UtcWholeSeconds) {
  struct {
    TimePoint t;
    const char* want;
  } cases[] = {
      {at(0), "1970-01-01T00:00:00Z"},
      {at(951782400), "2000-02-29T00:00:00Z"},          // leap day
      {at(1796860799, 999), "2026-12-09T23:59:59Z"},    // fraction cut, not rounded
      {at(1796860800), "2026-12-10T00:00:00Z"},
  };
  for (auto& c : cases) EXPECT_EQ(formatLogTimestamp(c.t), c.want);
  EXPECT_EQ(formatLogLine(at(0), "a\nb"), "[1970-01-01T00:00:00Z] a\nb\n");
}

struct LogFixture : ::testing::Test {
  TestPlatform t;
  std::shared_ptr<AppDelegate> d = t.makeDelegate();
  std::string logs = t.home + "/.quillmark/logs";
  std::string stamp = "[2026-12-10T00:00:00Z] ";
};

TEST_F(LogFixture, BeforeTheFileOpensLinesGoToStandardErrorAndPreLog) {
  d->rawNoticeBeforeLogOpen("[quillmark] early notice\n");
  d->logLine("first");
  EXPECT_EQ(t.stderrText(), "[quillmark] early notice\n" + stamp + "first\n");
  EXPECT_EQ(d->preLogSnapshot(), t.stderrText());
}

TEST_F(LogFixture, OpeningTheFileCopiesPreLogAndLaterLinesGoToTheFileOnly) {
  makeDirs(logs);
  writeFile(logs + "/app.log", "stale line from the last launch\n");
  d->rawNoticeBeforeLogOpen("[quillmark] early notice\n");
  d->logLine("before");
  std::string before = t.stderrText();
  d->openLogFile();
  EXPECT_FALSE(d->logIsStandardError());
  d->logLine("after");
  d->rawNotice("[quillmark] SECURITY: late\n");
  EXPECT_EQ(t.logFileText(),
            "[quillmark] early notice\n" + stamp + "before\n" + stamp + "after\n[quillmark] SECURITY: late\n");
  // Log lines after the open stay off standard error; raw notices do not.
  EXPECT_EQ(t.stderrText(), before + "[quillmark] SECURITY: late\n");
  EXPECT_EQ(d->preLogSnapshot(), before);
}

TEST_F(LogFixture, ALinkOrFifoAtTheLogIsReplacedNeverWrittenThrough) {
  // A data directory's key beside the launcher home, and app.log pointing at it.
  const std::string key = t.home + "/.zorvan/encryption.key";
  makeDirs(t.home + "/.zorvan");
  writeFile(key, "the only copy of the key", 0600);
  const std::pair<const char*, std::function<void(const std::string&)>> plants[] = {
      {"link to the key", [&](const std::string& log) { makeLink(log, key); }},
      {"FIFO", [](const std::string& log) { ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0); }},
  };
  ::alarm(30);  // an open that waits on the FIFO fails the test instead of hanging it
  for (const auto& [what, plant] : plants) {
    SCOPED_TRACE(what);
    TestPlatform fresh;
    std::string freshLogs = fresh.home + "/.quillmark/logs";
    makeDirs(freshLogs);
    plant(freshLogs + "/app.log");
    auto launcher = fresh.makeDelegate();
    launcher->logLine("before");
    launcher->openLogFile();
    launcher->logLine("after");
    EXPECT_EQ(readFile(key), "the only copy of the key");
    // The launch still gets its log: a file of its own at the name.
    EXPECT_FALSE(launcher->logIsStandardError());
    struct stat st;
    ASSERT_EQ(::lstat((freshLogs + "/app.log").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(fresh.logFileText(), stamp + "before\n" + stamp + "after\n");
  }
  ::alarm(0);
}

TEST_F(LogFixture, ALogsFolderThatIsALinkIsNotWrittenInto) {
  // Someone else's directory, holding an app.log of its own.
  const std::string elsewhere = t.root + "/elsewhere";
  makeDirs(elsewhere);
  writeFile(elsewhere + "/app.log", "not the launcher's");
  makeDirs(t.home + "/.quillmark");
  makeLink(logs, elsewhere);
  d->logLine("one");
  d->openLogFile();
  EXPECT_TRUE(d->logIsStandardError());
  EXPECT_EQ(readFile(elsewhere + "/app.log"), "not the launcher's");
  EXPECT_EQ(d->preLogSnapshot(), stamp + "one\n");
}

TEST_F(LogFixture, UnusableLogsFolderKeepsStandardErrorAndGrowsPreLog) {
  makeDirs(t.home + "/.quillmark");
  writeFile(logs, "a plain file where the folder should be");
  d->logLine("one");
  d->openLogFile();
  EXPECT_TRUE(d->logIsStandardError());
  d->logLine("two");
  d->rawNotice("[quillmark] SECURITY: x\n");
  // A notice from the log-open step on leaves preLog alone.
  EXPECT_EQ(d->preLogSnapshot(), stamp + "one\n" + stamp + "two\n");
  // With no file, a notice reaches standard error twice: directly and as the log.
  EXPECT_EQ(t.stderrText(), stamp + "one\n" + stamp + "two\n" + "[quillmark] SECURITY: x\n[quillmark] SECURITY: x\n");
}

TEST_F(LogFixture, WriteErrorsAreSwallowed) {
  t.files.standardErrorHandle().setFailWrites(true);
  d->logLine("lost");
  d->rawNoticeBeforeLogOpen("[quillmark] lost\n");
  EXPECT_EQ(d->preLogSnapshot(), stamp + "lost\n[quillmark] lost\n");
}

TEST_F(LogFixture, ConcurrentWritersNeverSplitALine) {
  makeDirs(logs);
  d->openLogFile();
  constexpr int kThreads = 8, kLines = 400;
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([this, i] {
      for (int j = 0; j < kLines; ++j) d->logLine("writer " + std::to_string(i) + " line " + std::to_string(j) + " " + std::string(200, 'x'));
    });
  }
  for (auto& th : threads) th.join();
  std::istringstream in(t.logFileText());
  std::regex whole(R"(\[2026-12-10T00:00:00Z\] writer \d line \d+ x{200})");
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    ASSERT_TRUE(std::regex_match(line, whole)) << line.substr(0, 80);
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

TEST_F(LogFixture, FailShowsTheCriticalAlertLaterThenQuits) {
  d->fail("Something broke.");
  EXPECT_TRUE(t.alerts.shown().empty()) << "fail must not run its alert inline";
  EXPECT_EQ(t.application.terminateRequests(), 0);
  t.dispatch.drain();
  auto shown = t.alerts.shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].style, AlertStyle::kCritical);
  EXPECT_EQ(shown[0].messageText, "Quillmark failed to start");
  EXPECT_EQ(shown[0].informativeText, "Something broke.\n\nSee ~/.quillmark/logs/app.log for details.");
  EXPECT_TRUE(shown[0].buttons.empty());
  EXPECT_EQ(shown[0].windowLevel, 8);
  EXPECT_EQ(t.application.policies().back(), ActivationPolicy::kRegular);
  EXPECT_EQ(t.application.terminateRequests(), 1);
  EXPECT_TRUE(t.application.terminated());
  EXPECT_EQ(t.stderrText(), "") << "fail writes nothing to the log";
}

TEST_F(LogFixture, FailFromABackgroundQueueStillAlertsOnTheMainQueue) {
  t.dispatch.asyncGlobal([this] { d->fail("from the background"); });
  t.dispatch.runGlobal();
  EXPECT_TRUE(t.alerts.shown().empty());
  t.dispatch.runMain();
  ASSERT_EQ(t.alerts.shown().size(), 1u);
}

TEST_F(LogFixture, RunModalActivatedMarksPanelsNonActivating) {
  for (bool panel : {false, true}) {
    t.alerts.setPanel(panel);
    Alert a;
    a.buttons = {"Install", "Not Now"};
    t.alerts.answer(1000);
    EXPECT_EQ(d->runModalActivated(a), 1000);
    EXPECT_EQ(t.alerts.shown().back().styleMask & kNonactivatingPanelMask, panel ? kNonactivatingPanelMask : 0u);
    EXPECT_EQ(t.alerts.shown().back().windowLevel, kModalPanelWindowLevel);
  }
  EXPECT_EQ(t.application.activations(), 2);
}

}  // namespace
}  // namespace ql::testing
