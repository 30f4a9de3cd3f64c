// Termination signals on the real headless backend: the signalfd thread,
// the main loop, the dispatch queues and real child processes, with the
// launcher core on top. A user at the alert is stood in for by an alert
// that, while "shown", sends the process a real signal and waits until the
// backend has recorded it, then gives the user's answer. Headless alerts
// proper answer at once, so the other waits of the main thread (a child
// the install flow waits for) are where a real signal lands there.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/app_delegate.h"
#include "platform/linux/linux_application.h"
#include "platform/linux/linux_basics.h"
#include "platform/linux/linux_dispatch.h"
#include "platform/linux/linux_tasks.h"
#include "platform/linux/main_loop.h"
#include "tests/fakes/test_platform.h"

namespace ql::testing {
namespace {

using namespace std::chrono_literals;

// Before main(), on the only thread there is: every thread started later
// inherits the mask, as in the launcher, whose platform blocks the signals
// before it starts its first thread. Otherwise a thread that does not block
// them would take a test's signal and die of it.
const bool kSignalsBlocked = [] {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&set, s);
  return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}();

// Answers every alert with `answer`; the one titled `during` only after a
// real `signal` has been sent to this process and the application has
// recorded the quit it stands for.
class UserAtTheAlert : public Alerts {
 public:
  UserAtTheAlert(Application& app, std::string during, int signal, int answer)
      : app_(app), during_(std::move(during)), signal_(signal), answer_(answer) {}
  bool alertWindowIsPanel() override { return false; }
  int runModal(const Alert& alert) override {
    shown.push_back(alert.messageText);
    if (alert.messageText.rfind(during_, 0) != 0) return answer_;
    ::kill(::getpid(), signal_);
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!app_.terminationRequested() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    recordedWhileShown = app_.terminationRequested();
    return answer_;
  }
  std::vector<std::string> shown;
  bool recordedWhileShown = false;

 private:
  Application& app_;
  std::string during_;
  int signal_;
  int answer_;
};

// The install copy can be made to fail, for the "Couldn't install to" alert.
class FailingCopies : public ForwardingFileManager {
 public:
  using ForwardingFileManager::ForwardingFileManager;
  std::string failCopiesTo;
  Status copyItem(const std::string& from, const std::string& to) override {
    if (!failCopiesTo.empty() && to.rfind(failCopiesTo, 0) == 0) return Status::Posix(EIO);
    return ForwardingFileManager::copyItem(from, to);
  }
};

struct Situation {
  const char* name;
  const char* alert;  // the alert the signal comes during; "" for none
  int answer;
  bool skipInstall;
  bool failInstallCopy;
  bool failSignature;
  bool signalFromAssessment;  // the assessment tool signals its parent
};

class HeadlessQuit : public ::testing::TestWithParam<std::tuple<Situation, int>> {};

TEST_P(HeadlessQuit, EndsInTheQuitPathWithNothingStarted) {
  ASSERT_TRUE(kSignalsBlocked);
  const auto& [s, sig] = GetParam();
  TestPlatform t;
  FailingCopies files(t.files);
  const std::string started = t.root + "/started";
  // Bundle with a shell; both it and the service record any start.
  t.makeBundle(/*withShell=*/true);
  const std::string recorder = "#!/bin/sh\necho \"$0 $*\" >> '" + started + "'\n";
  writeFile(t.bundle.path + "/Contents/Resources/bin/quillmark", recorder, 0755);
  writeFile(t.bundle.path + "/Contents/Helpers/Quillmark Shell.app/Contents/MacOS/Quillmark Shell", recorder, 0755);
  makeDirs(t.facts.systemApplicationsFolder);
  makeDirs(t.root + "/tools");
  writeFile(t.facts.assessmentTool,
            s.signalFromAssessment ? "#!/bin/sh\nkill -" + std::to_string(sig) + " $PPID\nsleep 0.3\nexit 0\n"
                                   : std::string("#!/bin/sh\nexit 0\n"),
            0755);
  writeFile(t.facts.quarantineTool, "#!/bin/sh\nexit 0\n", 0755);
  if (s.skipInstall) t.process.env["ZORVAN_SKIP_INSTALL"] = "";
  if (s.failInstallCopy) files.failCopiesTo = t.facts.systemApplicationsFolder + "/.Quillmark.install.";
  if (s.failSignature) t.fakeCodeSigning.validityStatus = -67054;

  linux_backend::PosixMainLoop loop;
  linux_backend::LinuxApplication app(loop);
  app.routeTerminationSignals();
  linux_backend::LinuxDispatch dispatch(loop);
  linux_backend::LinuxTasks tasks;
  linux_backend::RealClock clock;
  UserAtTheAlert alerts(app, s.alert[0] ? s.alert : "\x01never", sig, s.answer);
  Platform platform{app,       alerts,      files,       tasks,       dispatch, t.process, t.bundle,
                    t.fakeCodeSigning, t.workspace, clock, t.libraries, t.facts};

  // A hang fails the test instead of blocking the run.
  std::atomic<bool> returned{false};
  std::thread watchdog([&returned] {
    for (int i = 0; i < 600 && !returned; ++i) std::this_thread::sleep_for(50ms);
    if (!returned) {
      std::fprintf(stderr, "the launcher's loop did not end within 30 s\n");
      std::_Exit(1);
    }
  });
  auto delegate = std::make_shared<AppDelegate>(platform);
  app.setDelegate(delegate.get());
  app.run();  // returns only once applicationShouldTerminate has answered
  returned = true;
  watchdog.join();
  app.setDelegate(nullptr);

  if (s.alert[0]) {
    EXPECT_TRUE(alerts.recordedWhileShown) << "the backend recorded the signal while the alert was up";
    ASSERT_FALSE(alerts.shown.empty());
    EXPECT_EQ(alerts.shown.back().rfind(s.alert, 0), 0u) << "no alert after the signal";
  }
  EXPECT_TRUE(app.terminationRequested());
  // What the launcher did, from its own words: nothing was launched, and
  // start-up said why it stopped (the fatal case had already ended).
  std::string logged = delegate->preLogSnapshot() + readFile(t.home + "/.quillmark/logs/app.log");
  EXPECT_EQ(logged.find("shell: launched"), std::string::npos) << logged;
  EXPECT_EQ(logged.find("legacy browser mode"), std::string::npos) << logged;
  if (!s.failSignature) {
    EXPECT_NE(logged.find("quit requested — "), std::string::npos) << logged;
  }
  EXPECT_EQ(t.files.entryType(t.home + "/.quillmark/bin/quillmark"), EntryType::kNone) << "seeding never ran";
  // And from the children's: a wrongly started one would have written by now
  // (unless the quit path stopped it first, which the checks above catch).
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(readFile(started), "") << "nothing was started after the signal";
  EXPECT_EQ(t.files.entryType(t.facts.systemApplicationsFolder + "/Quillmark.app"), EntryType::kNone);
  EXPECT_EQ(t.files.entryType(t.facts.systemApplicationsFolder + "/.Quillmark.install.812"), EntryType::kNone);
}

std::vector<Situation> situations() {
  const int install = kAlertFirstButtonReturn, notNow = kAlertFirstButtonReturn + 1, escape = -1000;
  return {
      {"InstallPromptThenInstall", "Install Quillmark?", install, false, false, false, false},
      {"InstallPromptThenNotNow", "Install Quillmark?", notNow, false, false, false, false},
      {"InstallPromptThenEscape", "Install Quillmark?", escape, false, false, false, false},
      {"CouldNotInstall", "Couldn't install to ", install, false, true, false, false},
      {"FatalFailure", "Quillmark failed to start", escape, true, false, true, false},
      {"DuringTheAssessment", "", install, false, false, false, true},
  };
}

INSTANTIATE_TEST_SUITE_P(Cases, HeadlessQuit,
                         ::testing::Combine(::testing::ValuesIn(situations()),
                                            ::testing::Values(SIGTERM, SIGINT, SIGHUP)),
                         [](const ::testing::TestParamInfo<HeadlessQuit::ParamType>& p) {
                           int sig = std::get<1>(p.param);
                           return std::string(std::get<0>(p.param).name) +
                                  (sig == SIGTERM ? "_TERM" : sig == SIGINT ? "_INT" : "_HUP");
                         });

}  // namespace
}  // namespace ql::testing
