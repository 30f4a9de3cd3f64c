// A quit (a termination signal or the quit action; the platform turns each
// into the same request) or a reopen that arrives while an alert is up,
// during the install flow, or between start-up steps: on fakes and the
// virtual clock, the whole launch from applicationDidFinishLaunching to the
// quit path.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

#include "app/app_delegate.h"
#include "tests/fakes/fake_tasks.h"
#include "tests/fakes/test_platform.h"

namespace ql::testing {
namespace {

// What a closed alert window answers (Escape): not any button.
constexpr int kDismissed = -1000;

// The real file manager with calls a test can hook (to let a request
// arrive "during" one) or make fail.
class HookedFiles : public ForwardingFileManager {
 public:
  using ForwardingFileManager::ForwardingFileManager;
  std::function<void(const std::string& op, const std::string& path)> onCall = [](const std::string&,
                                                                                  const std::string&) {};
  std::set<std::string> unwritable;
  std::string failCopiesTo;  // a copy whose destination starts with this fails with EIO

  EntryType entryType(const std::string& p) override {
    onCall("entryType", p);
    return ForwardingFileManager::entryType(p);
  }
  bool isWritableFile(const std::string& p) override {
    return !unwritable.count(p) && ForwardingFileManager::isWritableFile(p);
  }
  Status createDirectory(const std::string& p, bool intermediates) override {
    onCall("createDirectory", p);
    return ForwardingFileManager::createDirectory(p, intermediates);
  }
  Status copyItem(const std::string& from, const std::string& to) override {
    onCall("copyItem", to);
    if (!failCopiesTo.empty() && to.rfind(failCopiesTo, 0) == 0) return Status::Posix(EIO);
    return ForwardingFileManager::copyItem(from, to);
  }
  Status copyFileLimitingPermissions(const std::string& from, const std::string& to, unsigned allowed) override {
    onCall("copyFileLimitingPermissions", to);
    return ForwardingFileManager::copyFileLimitingPermissions(from, to, allowed);
  }
};

bool exists(FileManager& fm, const std::string& path) { return fm.entryType(path) != EntryType::kNone; }

class QuitRequest : public ::testing::Test {
 public:
  void SetUp() override {
    t.tasks = &tasks;
    t.fileManager = &files;
    makeDirs(system());
    // Shell and service run until they are stopped; tools end at once.
    tasks.script = [this](const TaskSpec& launch) {
      FakeChild c;
      std::string cmd = joinCommand(launch);
      if (cmd.find("serve --app") != std::string::npos || cmd.find("Quillmark Shell") != std::string::npos) {
        c.runsFor = std::nullopt;
      }
      if (launch.executable == t.facts.assessmentTool) c.exitStatus = spctlStatus;
      auto hook = onLaunch.find(launch.executable);
      if (hook != onLaunch.end()) c.onLaunch = hook->second;
      return c;
    };
  }

  std::string system() { return t.root + "/Applications"; }
  std::string destination() { return system() + "/Quillmark.app"; }
  std::string staged() { return system() + "/.Quillmark.install.812"; }
  std::string zvd() { return t.home + "/.quillmark"; }

  // Lays out the bundle and runs the whole launch: didFinishLaunching, then
  // every queue until the application has terminated or nothing is left.
  void launch(bool shellMode) {
    t.makeBundle(shellMode);
    d = t.makeDelegate();
    t.application.run();
  }

  // Commands started, without the install's two tools.
  std::vector<std::string> started() {
    std::vector<std::string> out;
    for (const std::string& e : tasks.events()) {
      if (e.rfind("launch ", 0) != 0) continue;
      std::string cmd = e.substr(7);
      if (cmd.rfind(t.facts.assessmentTool, 0) == 0 || cmd.rfind(t.facts.quarantineTool, 0) == 0) continue;
      out.push_back(cmd);
    }
    return out;
  }
  bool toolRan(const std::string& tool) {
    for (const std::string& e : tasks.events())
      if (e.rfind("launch " + tool, 0) == 0) return true;
    return false;
  }
  // Every alert shown, by its message text.
  std::vector<std::string> alertTitles() {
    std::vector<std::string> out;
    for (const Alert& a : t.alerts.shown()) out.push_back(a.messageText);
    return out;
  }
  // The request arrives while the alert whose title starts with `title` is up.
  void whileShown(const std::string& title, std::function<void()> request) {
    t.alerts.onShow([title, request](const Alert& a) {
      if (a.messageText.rfind(title, 0) == 0) request();
    });
  }
  std::string everythingLogged() { return d->preLogSnapshot() + t.logFileText(); }

  TestPlatform t;
  FakeTasks tasks{t.clock};
  HookedFiles files{t.files};
  std::map<std::string, std::function<void()>> onLaunch;  // by executable
  int spctlStatus = 0;
  std::shared_ptr<AppDelegate> d;
};

// ---- each modal alert x a quit ------------------------------------------------

struct ModalCase {
  const char* name;
  const char* alert;  // the title (prefix) of the alert the quit comes during
  int answer;         // how the user then ends it
  std::function<void(QuitRequest&)> arrange;
  bool installedAnyway;  // the quit came after the swap (only the relaunch alert)
};

class EachModal : public QuitRequest,
                  public ::testing::WithParamInterface<std::tuple<ModalCase, bool /*shellMode*/>> {};

struct ModalCases {
  static std::vector<ModalCase> all() {
    auto nothing = [](QuitRequest&) {};
    return {
        {"InstallPromptThenInstall", "Install Quillmark?", kAlertFirstButtonReturn, nothing, false},
        {"InstallPromptThenNotNow", "Install Quillmark?", kAlertFirstButtonReturn + 1, nothing, false},
        {"InstallPromptThenEscape", "Install Quillmark?", kDismissed, nothing, false},
        {"NoWritableFolder", "Couldn't install Quillmark", kAlertFirstButtonReturn,
         [](QuitRequest& q) {
           q.files.unwritable = {q.system(), q.t.home + "/Applications"};
           q.t.alerts.answer(kAlertFirstButtonReturn);  // "Install"
         },
         false},
        {"AlreadyRunning", "Quillmark is already running", kAlertFirstButtonReturn,
         [](QuitRequest& q) {
           q.t.workspace.running = {{812, std::nullopt}, {900, q.t.root + "/Elsewhere/Quillmark.app"}};
           q.t.alerts.answer(kAlertFirstButtonReturn);
         },
         false},
        {"CopyFailed", "Couldn't install to ", kAlertFirstButtonReturn,
         [](QuitRequest& q) {
           q.files.failCopiesTo = q.staged();
           q.t.alerts.answer(kAlertFirstButtonReturn);
         },
         false},
        {"GatekeeperRefused", "Install blocked", kAlertFirstButtonReturn,
         [](QuitRequest& q) {
           q.spctlStatus = 3;
           q.t.alerts.answer(kAlertFirstButtonReturn);
         },
         false},
        {"RelaunchFailed", "Installed, but couldn't launch ", kAlertFirstButtonReturn,
         [](QuitRequest& q) {
           q.t.workspace.openResult = Status::Posix(ENOEXEC);
           q.t.alerts.answer(kAlertFirstButtonReturn);
         },
         true},
        {"FatalFailure", "Quillmark failed to start", kAlertFirstButtonReturn,
         [](QuitRequest& q) {
           q.t.process.env["ZORVAN_SKIP_INSTALL"] = "";
           q.t.fakeCodeSigning.validityStatus = -67054;  // the bundle was modified
         },
         false},
    };
  }
};

TEST_P(EachModal, QuitIsHonouredWhenTheAlertEndsAndNothingStarts) {
  const auto& [c, shellMode] = GetParam();
  c.arrange(*this);
  // The answer the user gives to the alert the quit comes during (the
  // install prompt's is scripted here, the others' by arrange()).
  if (std::string(c.alert) == "Install Quillmark?") t.alerts.answer(c.answer);
  bool requestedDuring = false;
  whileShown(c.alert, [&] {
    requestedDuring = true;
    t.application.requestTermination();
  });
  launch(shellMode);

  ASSERT_TRUE(requestedDuring) << "the alert was never shown: " << ::testing::PrintToString(alertTitles());
  EXPECT_EQ(alertTitles().back().rfind(c.alert, 0), 0u)
      << "no alert after the one the quit came during: " << ::testing::PrintToString(alertTitles());
  EXPECT_TRUE(t.application.terminated()) << "the quit path answered";
  EXPECT_EQ(started(), std::vector<std::string>{}) << "no shell, no service, no open after the quit";
  EXPECT_FALSE(d->shellProc());
  EXPECT_FALSE(d->daemon());
  EXPECT_FALSE(exists(t.files, staged()));
  EXPECT_EQ(exists(t.files, destination()), c.installedAnyway);
  if (!c.installedAnyway) {
    EXPECT_TRUE(t.workspace.opened.empty()) << "no relaunch";
  }
  EXPECT_FALSE(t.realFiles.fileExists(zvd() + "/bin/quillmark")) << "start-up stopped before seeding";
}

INSTANTIATE_TEST_SUITE_P(Cases, EachModal,
                         ::testing::Combine(::testing::ValuesIn(ModalCases::all()), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<EachModal::ParamType>& p) {
                           return std::string(std::get<0>(p.param).name) +
                                  (std::get<1>(p.param) ? "_ShellMode" : "_BrowserMode");
                         });

// ---- a reopen during the install prompt ----------------------------------------

struct ReopenCase {
  const char* name;
  bool shellMode;
  int answer;
};

class ReopenDuringPrompt : public QuitRequest, public ::testing::WithParamInterface<ReopenCase> {};

TEST_P(ReopenDuringPrompt, IsKeptAndHonouredOnceStartUpHasLaunched) {
  const ReopenCase& c = GetParam();
  t.alerts.answer(c.answer);
  whileShown("Install Quillmark?", [this] { t.application.requestReopen(); });
  // The shell, once started (the first child), is a running application
  // that the reopen can bring to the front.
  t.workspace.running = {{4100, t.bundle.path}};
  launch(c.shellMode);

  std::string zorvan = zvd() + "/bin/quillmark";
  if (c.shellMode) {
    ASSERT_EQ(started().size(), 1u) << ::testing::PrintToString(started());
    EXPECT_NE(started()[0].find("Quillmark Shell"), std::string::npos);
    ASSERT_EQ(t.workspace.activated.size(), 1u) << "the reopen brought the shell to the front";
    EXPECT_EQ(t.workspace.activated[0].processIdentifier, 4100);
  } else {
    // The service first, then the reopen's `open`: kept, not lost.
    EXPECT_EQ(started(), (std::vector<std::string>{zorvan + " serve --app", zorvan + " open"}));
  }
  EXPECT_FALSE(t.application.terminated());
}

INSTANTIATE_TEST_SUITE_P(Cases, ReopenDuringPrompt,
                         ::testing::Values(ReopenCase{"BrowserModeNotNow", false, kAlertFirstButtonReturn + 1},
                                           ReopenCase{"BrowserModeEscape", false, kDismissed},
                                           ReopenCase{"ShellModeNotNow", true, kAlertFirstButtonReturn + 1}),
                         [](const ::testing::TestParamInfo<ReopenCase>& p) { return std::string(p.param.name); });

TEST_F(QuitRequest, ReopenDuringTheInstallThatRelaunchesStartsNothing) {
  t.alerts.answer(kAlertFirstButtonReturn);
  t.workspace.completeOpenImmediately = false;
  whileShown("Install Quillmark?", [this] { t.application.requestReopen(); });
  launch(/*shellMode=*/false);
  EXPECT_TRUE(exists(t.files, destination()));
  EXPECT_EQ(t.workspace.opened, std::vector<std::string>{destination()});
  EXPECT_EQ(started(), std::vector<std::string>{}) << "nothing to open before the service is found";
}

TEST_F(QuitRequest, ReopenQueuedBehindAQuitStartsNothing) {
  t.alerts.answer(kAlertFirstButtonReturn + 1);
  whileShown("Install Quillmark?", [this] {
    t.application.requestTermination();
    t.application.requestReopen();
  });
  launch(/*shellMode=*/false);
  EXPECT_TRUE(t.application.terminated());
  EXPECT_EQ(started(), std::vector<std::string>{});
}

// ---- a quit while the main thread is busy between alerts -----------------------

struct BusyCase {
  const char* name;
  bool skipInstall;
  // Makes the request arrive during one step.
  std::function<void(QuitRequest&, std::function<void()> request)> during;
  bool logOpened;  // the start-up got as far as the log file
};

class WhileBusy : public QuitRequest, public ::testing::WithParamInterface<BusyCase> {};

TEST_P(WhileBusy, TheStepEndsThenNothingMoreRunsAndTheQuitPathRuns) {
  const BusyCase& c = GetParam();
  if (c.skipInstall) {
    t.process.env["ZORVAN_SKIP_INSTALL"] = "";
  } else {
    t.alerts.answer(kAlertFirstButtonReturn);
  }
  bool requested = false;
  c.during(*this, [this, &requested] {
    if (requested) return;
    requested = true;
    t.application.requestTermination();
  });
  launch(/*shellMode=*/true);

  ASSERT_TRUE(requested);
  EXPECT_TRUE(t.application.terminated());
  EXPECT_EQ(started(), std::vector<std::string>{});
  EXPECT_FALSE(exists(t.files, staged())) << "an abandoned install leaves no staged copy";
  EXPECT_FALSE(exists(t.files, destination()));
  EXPECT_TRUE(t.workspace.opened.empty());
  EXPECT_EQ(t.alerts.shown().size(), c.skipInstall ? 0u : 1u) << "no alert after the quit";
  EXPECT_EQ(t.realFiles.fileExists(zvd() + "/logs/app.log"), c.logOpened);
  std::string logged = everythingLogged();
  EXPECT_NE(logged.find(c.skipInstall ? "] quit requested — start-up stopped, nothing launched\n"
                                      : "] install: quit requested — install abandoned\n"),
            std::string::npos)
      << logged;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WhileBusy,
    ::testing::Values(
        BusyCase{"InstallCopy", false,
                 [](QuitRequest& q, std::function<void()> request) {
                   q.files.onCall = [&q, request](const std::string& op, const std::string& path) {
                     if (op == "copyItem" && path == q.staged()) request();
                   };
                 },
                 false},
        BusyCase{"Assessment", false,
                 [](QuitRequest& q, std::function<void()> request) { q.onLaunch[q.t.facts.assessmentTool] = request; },
                 false},
        BusyCase{"QuarantineStep", false,
                 [](QuitRequest& q, std::function<void()> request) { q.onLaunch[q.t.facts.quarantineTool] = request; },
                 false},
        BusyCase{"Migration", true,
                 [](QuitRequest& q, std::function<void()> request) {
                   q.files.onCall = [&q, request](const std::string& op, const std::string& path) {
                     if (op == "entryType" && path == q.t.home + "/.zorvan") request();
                   };
                 },
                 false},
        BusyCase{"DirectoriesAndSignatureCheck", true,
                 [](QuitRequest& q, std::function<void()> request) {
                   q.files.onCall = [&q, request](const std::string& op, const std::string& path) {
                     if (op == "createDirectory" && path == q.zvd() + "/logs") request();
                   };
                 },
                 true},
        BusyCase{"Seeding", true,
                 [](QuitRequest& q, std::function<void()> request) {
                   q.files.onCall = [&q, request](const std::string& op, const std::string& path) {
                     if (op == "copyFileLimitingPermissions" && path.rfind(q.zvd() + "/bin/", 0) == 0) request();
                   };
                 },
                 true}),
    [](const ::testing::TestParamInfo<BusyCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace ql::testing
