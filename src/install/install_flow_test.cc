// The install flow on the real file system, with real child processes:
// temporary Applications folders, stand-in assessment and quarantine tools
// written as shell scripts, and a virtual clock that fires the watchdogs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <functional>
#include <set>
#include <cstring>
#include <thread>

#include "app/app_delegate.h"
#include "platform/linux/linux_tasks.h"
#include "tests/fakes/test_platform.h"

namespace ql::testing {
namespace {

using std::chrono::milliseconds;

const std::string kFailureTail = "\n\nQuillmark will run from its current location instead.";
const std::string kPolicyText =
    "This download is intact — its code signature verified as Talvoria's — but Gatekeeper policy on this Mac "
    "refused to allow it.\n\nIn System Settings → Privacy & Security, set \"Allow applications\" to \"App Store "
    "and identified developers\" (the exact labels vary by macOS version), then open Quillmark again. Choosing "
    "that option also re-enables Gatekeeper if assessments were disabled (spctl --master-disable); on macOS 14 "
    "and earlier, sudo spctl --master-enable works too.\n\nIf these settings already look right, check your "
    "internet connection and try again — or download the latest version.\n\n";
const std::string kTamperText =
    "The app bundle may have been modified after download. Re-download and try again.\n\n";
const std::string kTimeoutText =
    "Gatekeeper's assessment of the app didn't finish in time. This can happen on a slow network connection "
    "while it fetches the app's notarization ticket. Open Quillmark again to retry the install.";

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    out.push_back(text.substr(start, nl - start));
  return out;
}

// A file manager whose probes and renames a test can make fail.
class ScriptedFiles : public ForwardingFileManager {
 public:
  using ForwardingFileManager::ForwardingFileManager;
  std::set<std::string> unwritable;
  Status copyError;                       // returned after a partial copy
  Status exchangeError;                   // e.g. EINVAL: the file system cannot exchange
  std::string failRenameFrom;             // a rename of this path fails with EIO
  std::vector<std::pair<std::string, std::string>> renames, exchanges;

  bool isWritableFile(const std::string& p) override {
    return !unwritable.count(p) && ForwardingFileManager::isWritableFile(p);
  }
  Status copyItem(const std::string& from, const std::string& to) override {
    Status s = ForwardingFileManager::copyItem(from, to);
    return copyError.ok() ? s : copyError;
  }
  Status exchange(const std::string& a, const std::string& b) override {
    exchanges.emplace_back(a, b);
    return exchangeError.ok() ? ForwardingFileManager::exchange(a, b) : exchangeError;
  }
  Status rename(const std::string& from, const std::string& to) override {
    renames.emplace_back(from, to);
    if (from == failRenameFrom) return Status::Posix(EIO);
    return ForwardingFileManager::rename(from, to);
  }
};

// Fires the fake dispatch's watchdogs from a second thread while the main
// thread is blocked waiting for a tool: each time one is pending for
// `realDelay`, the virtual clock jumps to it and it runs.
class WatchdogDriver {
 public:
  WatchdogDriver(TestPlatform& t, Duration step, milliseconds realDelay = milliseconds(50))
      : thread_([this, &t, step, realDelay] {
          std::unique_lock<std::mutex> lock(mu_);
          while (!cv_.wait_for(lock, realDelay, [this] { return stop_; })) {
            if (t.dispatch.pendingTimers() == 0) continue;
            t.clock.advance(step);
            fired_ += t.dispatch.fireDueTimers();
          }
        }) {}
  ~WatchdogDriver() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  int fired() const { return fired_; }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::atomic<int> fired_{0};
  std::thread thread_;
};

// One task backend for the whole test program, as the launcher has one for
// its whole life.
Tasks& processTasks() {
  static auto* tasks = new linux_backend::LinuxTasks();
  return *tasks;
}

struct InstallFlow : ::testing::Test {
  TestPlatform t;
  ScriptedFiles files{t.files};

  void SetUp() override {
    t.tasks = &processTasks();
    t.fileManager = &files;
    t.makeBundle();
    writeFile(t.bundle.path + "/Contents/Resources/marker", "new\n");
    makeDirs(system());
    makeDirs(t.root + "/tools");
    spctl("echo \"$5\": accepted; echo source=Developer ID 1>&2");
    xattr("exit 0");
  }

  std::string system() { return t.root + "/Applications"; }
  std::string user() { return t.home + "/Applications"; }
  std::string staged(const std::string& folder) { return folder + "/.Quillmark.install.812"; }
  std::string backup(const std::string& folder) { return folder + "/.Quillmark.old.812"; }

  // Each tool records its arguments, one per line, then runs `body`.
  void spctl(const std::string& body) { tool(t.facts.assessmentTool, "spctl.args", body); }
  void xattr(const std::string& body) { tool(t.facts.quarantineTool, "xattr.args", body); }
  void tool(const std::string& path, const std::string& record, const std::string& body) {
    writeFile(path, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + t.root + "/" + record + "'\n" + body + "\n", 0755);
  }
  std::vector<std::string> args(const std::string& record) {
    if (!exists(t.root + "/" + record)) return {};
    return lines(readFile(t.root + "/" + record));
  }

  // Runs the flow with "Install" chosen.
  bool install(int answer = kAlertFirstButtonReturn) {
    delegate = t.makeDelegate();
    t.alerts.answer(answer);
    return delegate->maybeInstallToApplications();
  }
  std::vector<Alert> alerts() { return t.alerts.shown(); }
  std::string log() { return delegate->preLogSnapshot(); }

  std::shared_ptr<AppDelegate> delegate;
};

void expectAlert(const Alert& a, AlertStyle style, const std::string& message, const std::string& informative) {
  EXPECT_EQ(a.style, style) << message;
  EXPECT_EQ(a.messageText, message);
  EXPECT_EQ(a.informativeText, informative);
  EXPECT_TRUE(a.buttons.empty()) << message;
  EXPECT_EQ(a.windowLevel, kModalPanelWindowLevel) << message;
}

TEST_F(InstallFlow, AcceptedIntoTheSystemFolder) {
  t.workspace.completeOpenImmediately = false;
  ASSERT_TRUE(install());

  // The prompt, exactly.
  auto shown = alerts();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].style, AlertStyle::kWarning);
  EXPECT_EQ(shown[0].messageText, "Install Quillmark?");
  EXPECT_EQ(shown[0].informativeText, "Quillmark will be copied to your Applications folder and opened from there.");
  EXPECT_EQ(shown[0].buttons, (std::vector<std::string>{"Install", "Not Now"}));

  const std::string dest = system() + "/Quillmark.app";
  EXPECT_EQ(readFile(dest + "/Contents/Resources/marker"), "new\n");
  EXPECT_EQ(readFile(dest + "/Contents/MacOS/Quillmark"), readFile(t.bundle.path + "/Contents/MacOS/Quillmark"));
  EXPECT_FALSE(exists(staged(system())));
  EXPECT_FALSE(exists(backup(system())));
  EXPECT_TRUE(exists(t.bundle.path)) << "the source stays where it was";

  // Both tools ran on the staged copy with exactly these command lines.
  EXPECT_EQ(args("spctl.args"), (std::vector<std::string>{"-a", "-t", "exec", "-vv", staged(system())}));
  EXPECT_EQ(args("xattr.args"), (std::vector<std::string>{"-dr", "com.apple.quarantine", staged(system())}));
  EXPECT_EQ(t.dispatch.serialQueueLabels(), std::vector<std::string>{"com.talvoria.zorvan.install-spctl-watchdog"});

  // Standard output and error of the assessment share one pipe; trimmed.
  EXPECT_NE(log().find("] install: spctl ok — " + staged(system()) + ": accepted\nsource=Developer ID\n"),
            std::string::npos)
      << log();
  EXPECT_NE(t.stderrText().find("install: spctl ok"), std::string::npos);

  // The relaunch is asked for, and the quit waits for its completion.
  EXPECT_EQ(t.workspace.opened, std::vector<std::string>{dest});
  t.dispatch.runMain();
  EXPECT_EQ(t.application.terminateRequests(), 0);
  ASSERT_EQ(t.workspace.pendingCompletions.size(), 1u);
  t.workspace.pendingCompletions[0]();
  t.dispatch.runMain();
  EXPECT_EQ(t.application.terminateRequests(), 1);
  EXPECT_EQ(alerts().size(), 1u) << "a successful relaunch shows nothing";
}

TEST_F(InstallFlow, NotNowLeavesEverythingAlone) {
  files.unwritable.insert(system());  // would create the user folder if it got that far
  EXPECT_FALSE(install(kAlertFirstButtonReturn + 1));
  EXPECT_EQ(alerts().size(), 1u);
  EXPECT_FALSE(exists(user()));
  EXPECT_TRUE(args("spctl.args").empty());
  EXPECT_EQ(t.application.terminateRequests(), 0);
  EXPECT_TRUE(t.workspace.opened.empty());
}

TEST_F(InstallFlow, NotEligibleShowsNothing) {
  t.process.env["ZORVAN_SKIP_INSTALL"] = "";
  EXPECT_FALSE(install());
  EXPECT_TRUE(alerts().empty());
  EXPECT_TRUE(log().empty());
}

TEST_F(InstallFlow, UnwritableSystemFolderInstallsIntoACreatedUserFolderWithoutTheQuarantineStep) {
  files.unwritable.insert(system());
  ASSERT_FALSE(exists(user()));
  ASSERT_TRUE(install());
  EXPECT_TRUE(exists(user() + "/Quillmark.app/Contents/Resources/marker"));
  EXPECT_FALSE(exists(system() + "/Quillmark.app"));
  EXPECT_EQ(args("spctl.args").back(), staged(user()));
  EXPECT_TRUE(args("xattr.args").empty()) << "the user's own folder keeps the attribute";
  EXPECT_EQ(t.workspace.opened, std::vector<std::string>{user() + "/Quillmark.app"});
}

TEST_F(InstallFlow, NeitherFolderWritable) {
  files.unwritable = {system(), user()};
  EXPECT_FALSE(install());
  auto shown = alerts();
  ASSERT_EQ(shown.size(), 2u);
  expectAlert(shown[1], AlertStyle::kWarning, "Couldn't install Quillmark",
              "Neither " + system() + " nor " + user() +
                  " is writable. Quillmark will run from its current location.");
  EXPECT_TRUE(exists(user())) << "the folder created on the way stays";
  EXPECT_TRUE(args("spctl.args").empty());
}

struct RunningCase {
  const char* name;
  std::vector<RunningApplication> running;
  const char* folder;  // nullptr: the install goes on
};

class RunningCopy : public InstallFlow, public ::testing::WithParamInterface<RunningCase> {};

TEST_P(RunningCopy, AnotherCopyStopsTheInstall) {
  makeDirs(t.root + "/Shelf/Quillmark.app");
  makeLink(t.root + "/ShelfLink", t.root + "/Shelf");
  makeLink(t.root + "/DownloadsLink", t.root + "/Downloads");
  auto running = GetParam().running;
  for (auto& app : running)
    if (app.bundlePath) app.bundlePath = t.root + *app.bundlePath;
  t.workspace.running = running;
  bool result = install();
  if (!GetParam().folder) {
    EXPECT_TRUE(result);
    EXPECT_TRUE(exists(system() + "/Quillmark.app"));
    return;
  }
  EXPECT_TRUE(result);
  auto shown = alerts();
  ASSERT_EQ(shown.size(), 2u);
  std::string folder = GetParam().folder;
  if (folder[0] == '/') folder = t.root + folder;
  expectAlert(shown[1], AlertStyle::kWarning, "Quillmark is already running",
              "Quit the running copy in " + folder + " first, then launch this one again to install.");
  EXPECT_EQ(t.application.terminateRequests(), 1);
  EXPECT_FALSE(exists(staged(system())));
  EXPECT_FALSE(exists(system() + "/Quillmark.app"));
  EXPECT_TRUE(args("spctl.args").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RunningCopy,
    ::testing::Values(
        RunningCase{"OnlyThisProcess", {{812, "/Downloads/Quillmark.app"}}, nullptr},
        RunningCase{"OtherCopyFolderCanonical",
                    {{812, std::nullopt}, {900, "/ShelfLink/Quillmark.app"}, {901, "/Elsewhere/Quillmark.app"}},
                    "/Shelf"},
        RunningCase{"OtherCopyWithoutBundle", {{900, std::nullopt}}, "another location"},
        // The same download started twice: the install copies from it and
        // replaces nothing it runs from.
        RunningCase{"SecondStartOfThisBundle", {{812, std::nullopt}, {900, "/Downloads/Quillmark.app"}}, nullptr},
        RunningCase{"SecondStartOfThisBundleThroughALink",
                    {{900, "/DownloadsLink/Quillmark.app"}, {901, "/Shelf/Quillmark.app"}},
                    "/Shelf"}),
    [](const ::testing::TestParamInfo<RunningCase>& p) { return std::string(p.param.name); });

TEST_F(InstallFlow, LeftoversOfEarlierAttemptsAreSweptBeforeTheCopy) {
  makeDirs(staged(system()) + "/Contents");  // the copy would fail on it
  makeDirs(system() + "/.Zorvan.old.12/Contents");
  writeFile(system() + "/.Quillmark.old.3", "x");
  makeLink(system() + "/.Zorvan.install.7", t.bundle.path);  // a link: removed itself, never its target
  makeDirs(system() + "/.quillmark.install.1");
  makeDirs(system() + "/Other.app");
  ASSERT_TRUE(install());
  auto names = t.realFiles.contentsOfDirectory(system());
  ASSERT_TRUE(names.ok());
  std::set<std::string> left(names->begin(), names->end());
  EXPECT_EQ(left, (std::set<std::string>{".quillmark.install.1", "Other.app", "Quillmark.app"}));
  EXPECT_TRUE(exists(t.bundle.path + "/Contents/MacOS/Quillmark"));
}

// Two starts of one download installing at once: neither sweeps away the
// other's staged or backup bundle; a leftover of a process that is gone is
// still swept, and so is one carrying this process's own id.
TEST_F(InstallFlow, BundlesOfAnInstallStillUnderWayAreNotSwept) {
  makeDirs(system() + "/.Quillmark.install.900/Contents");  // pid 900 runs
  makeDirs(system() + "/.Quillmark.old.900/Contents");
  makeDirs(system() + "/.Quillmark.install.901/Contents");  // pid 901 is gone
  makeDirs(system() + "/.Zorvan.old.0");                    // no process at all
  makeDirs(system() + "/.Quillmark.old.9x");
  makeDirs(staged(system()) + "/Contents");                 // our own id: a leftover
  t.process.probes[900] = 0;
  t.process.probes[0] = 0;  // kill(0, 0) succeeds; it must not count as a running install
  ASSERT_TRUE(install());
  auto names = t.realFiles.contentsOfDirectory(system());
  ASSERT_TRUE(names.ok());
  std::set<std::string> left(names->begin(), names->end());
  EXPECT_EQ(left, (std::set<std::string>{".Quillmark.install.900", ".Quillmark.old.900", "Quillmark.app"}));
}

TEST_F(InstallFlow, RunningBundleUnderAnotherNameInstallsAsQuillmark) {
  const std::string renamed = t.root + "/Downloads/Quillmark 2.app";
  ASSERT_EQ(::rename(t.bundle.path.c_str(), renamed.c_str()), 0);
  t.bundle.path = renamed;
  ASSERT_TRUE(install());
  EXPECT_TRUE(exists(system() + "/Quillmark.app/Contents/Resources/marker"));
  EXPECT_FALSE(exists(system() + "/Quillmark 2.app"));
}

extern "C" char* untranslocateToDownloads(const char* path, void**) {
  std::string p = path;
  size_t at = p.find("/AppTranslocation/");
  return ::strdup((p.substr(0, at) + "/Downloads/Quillmark.app").c_str());
}

TEST_F(InstallFlow, TranslocatedLaunchCopiesFromTheOriginalLocation) {
  // The translocated path does not exist: a copy from it would fail.
  t.bundle.path = t.root + "/AppTranslocation/1234/d/Quillmark.app";
  t.libraries.libraries[t.facts.securityFramework] = {
      {"SecTranslocateCreateOriginalPathForURL", reinterpret_cast<void*>(&untranslocateToDownloads)}};
  ASSERT_TRUE(install());
  EXPECT_EQ(readFile(system() + "/Quillmark.app/Contents/Resources/marker"), "new\n");
}

struct FailureCase {
  const char* name;
  std::function<void(InstallFlow&)> arrange;
  std::string description;
};

class InstallFailure : public InstallFlow, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(InstallFailure, EndsWithTheAlertAndNoStagedCopy) {
  writeFile(system() + "/Quillmark.app", "old installation\n");
  GetParam().arrange(*this);
  EXPECT_FALSE(install());
  auto shown = alerts();
  ASSERT_EQ(shown.size(), 2u);
  expectAlert(shown[1], AlertStyle::kWarning, "Couldn't install to " + system(),
              GetParam().description + kFailureTail);
  EXPECT_FALSE(exists(staged(system())));
  EXPECT_FALSE(exists(backup(system())));
  EXPECT_EQ(readFile(system() + "/Quillmark.app"), "old installation\n") << "the old installation is in place";
  EXPECT_EQ(t.application.terminateRequests(), 0);
  EXPECT_TRUE(t.workspace.opened.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, InstallFailure,
    ::testing::Values(
        FailureCase{"CopyFails", [](InstallFlow& f) { f.files.copyError = Status::Posix(ENOSPC); },
                    std::strerror(ENOSPC)},
        FailureCase{"AssessmentToolMissing",
                    [](InstallFlow& f) { f.t.facts.assessmentTool = f.t.root + "/tools/missing"; },
                    std::strerror(ENOENT)},
        FailureCase{"FinalRenameFailsAndTheOldOneIsPutBack",
                    [](InstallFlow& f) {
                      f.files.exchangeError = Status::Posix(EINVAL);
                      f.files.failRenameFrom = f.staged(f.system());
                    },
                    std::strerror(EIO)}),
    [](const ::testing::TestParamInfo<FailureCase>& p) { return std::string(p.param.name); });

TEST_F(InstallFlow, OlderInstallationIsExchangedInOneStep) {
  const std::string dest = system() + "/Quillmark.app";
  makeDirs(dest + "/Contents/Resources");
  writeFile(dest + "/Contents/Resources/marker", "old\n");
  ASSERT_TRUE(install());
  EXPECT_EQ(readFile(dest + "/Contents/Resources/marker"), "new\n");
  EXPECT_EQ(files.exchanges, (std::vector<std::pair<std::string, std::string>>{{staged(system()), dest}}));
  for (const auto& [from, to] : files.renames) EXPECT_NE(from, dest) << "never moved aside when exchanged";
  EXPECT_FALSE(exists(staged(system())));
  EXPECT_FALSE(exists(backup(system())));
}

TEST_F(InstallFlow, WithoutExchangeTheOlderInstallationIsMovedAsideAndRemoved) {
  const std::string dest = system() + "/Quillmark.app";
  makeDirs(dest + "/Contents/Resources");
  writeFile(dest + "/Contents/Resources/marker", "old\n");
  files.exchangeError = Status::Posix(EINVAL);
  ASSERT_TRUE(install());
  EXPECT_EQ(readFile(dest + "/Contents/Resources/marker"), "new\n");
  EXPECT_EQ(files.renames, (std::vector<std::pair<std::string, std::string>>{{dest, backup(system())},
                                                                            {staged(system()), dest}}));
  EXPECT_FALSE(exists(backup(system())));
}

TEST_F(InstallFlow, NoInstallationYetIsARename) {
  ASSERT_TRUE(install());
  EXPECT_TRUE(files.exchanges.empty());
  EXPECT_EQ(files.renames,
            (std::vector<std::pair<std::string, std::string>>{{staged(system()), system() + "/Quillmark.app"}}));
}

TEST_F(InstallFlow, RelaunchErrorIsReportedAndTheProcessStillQuits) {
  t.workspace.openResult = Status::Posix(ENOENT);
  ASSERT_TRUE(install());
  EXPECT_EQ(t.application.terminateRequests(), 0) << "the completion's work waits for the main queue";
  t.dispatch.runMain();
  auto shown = alerts();
  ASSERT_EQ(shown.size(), 2u);
  expectAlert(shown[1], AlertStyle::kCritical, "Installed, but couldn't launch " + system() + "/Quillmark.app",
              std::string(std::strerror(ENOENT)) + "\n\nOpen it from Applications.");
  EXPECT_EQ(t.application.terminateRequests(), 1);
  EXPECT_TRUE(exists(system() + "/Quillmark.app")) << "the installed copy stays";
}

struct QuarantineCase {
  const char* name;
  const char* script;  // nullptr: the tool is missing
  const char* logged;  // nullptr: nothing logged
};

class QuarantineStep : public InstallFlow, public ::testing::WithParamInterface<QuarantineCase> {};

TEST_P(QuarantineStep, ProblemsAreLoggedAndTheInstallGoesOn) {
  const QuarantineCase& c = GetParam();
  if (c.script) {
    xattr(c.script);
  } else {
    t.facts.quarantineTool = t.root + "/tools/no-xattr";
  }
  WatchdogDriver driver(t, Duration(10.0), milliseconds(1000));
  ASSERT_TRUE(install());
  EXPECT_TRUE(exists(system() + "/Quillmark.app/Contents/Resources/marker"));
  EXPECT_EQ(t.workspace.opened.size(), 1u);
  bool logged = log().find("xattr") != std::string::npos;
  if (c.logged) {
    EXPECT_NE(log().find(std::string("] ") + c.logged + "\n"), std::string::npos) << log();
  } else {
    EXPECT_FALSE(logged) << log();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, QuarantineStep,
    ::testing::Values(QuarantineCase{"Succeeds", "exit 0", nullptr},
                      QuarantineCase{"ExitsOne", "exit 1", "xattr -dr com.apple.quarantine exited 1"},
                      QuarantineCase{"CannotStart", nullptr, "xattr spawn failed — quarantine bit may persist"},
                      QuarantineCase{"HangsAndIsTerminated", "exec sleep 600",
                                     "xattr -dr com.apple.quarantine exited 15"},
                      QuarantineCase{"IgnoresTerminationAndIsKilled", "trap '' TERM; while :; do sleep 0.2; done",
                                     "xattr -dr com.apple.quarantine exited 9"}),
    [](const ::testing::TestParamInfo<QuarantineCase>& p) { return std::string(p.param.name); });

// ---- Refusals -------------------------------------------------------------

// Code signing whose validity and cdhash change from one evidence to the
// next: each evidence creates one static code, which starts its round.
class EvidenceSequence : public FakeCodeSigning {
 public:
  struct Evidence {
    bool valid;
    std::vector<uint8_t> hash;
  };
  std::vector<Evidence> sequence;

  OSStatus createStaticCodeWithPath(const std::string& path, uint32_t flags, StaticCodeRef* out) override {
    ++round_;
    return FakeCodeSigning::createStaticCodeWithPath(path, flags, out);
  }
  OSStatus checkValidity(const StaticCodeRef& c, uint32_t flags, const RequirementRef& r) override {
    FakeCodeSigning::checkValidity(c, flags, r);
    return current().valid ? errSecSuccess : errSecCSSignatureFailed;
  }
  OSStatus copySigningInformation(const StaticCodeRef&, uint32_t, SigningInformation* out) override {
    out->unique = current().hash;
    return errSecSuccess;
  }
  int rounds() const { return round_; }

 private:
  const Evidence& current() { return sequence.at(static_cast<size_t>(round_ - 1)); }
  int round_ = 0;
};

struct RefusalCase {
  const char* name;
  std::vector<EvidenceSequence::Evidence> evidence;
  const char* printed;  // printf format of what the stand-in prints before exiting 3
  const char* shown;    // that output as logged and shown
  InstallRejection expected;
};

class Refusal : public InstallFlow, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusal, IsClassifiedRemovedReportedAndEndsTheProcess) {
  const RefusalCase& c = GetParam();
  EvidenceSequence signing;
  signing.sequence = c.evidence;
  t.codeSigning = &signing;
  spctl(std::string("printf '") + c.printed + "'; exit 3");
  writeFile(system() + "/Quillmark.app", "old installation\n");

  EXPECT_TRUE(install());
  EXPECT_EQ(signing.rounds(), 2);
  EXPECT_FALSE(exists(staged(system())));
  EXPECT_EQ(readFile(system() + "/Quillmark.app"), "old installation\n");
  EXPECT_TRUE(args("xattr.args").empty());
  EXPECT_TRUE(t.workspace.opened.empty());
  EXPECT_EQ(t.application.terminateRequests(), 1);

  const std::string shownOutput = c.shown;
  EXPECT_NE(log().find(std::string("] install: spctl rejected (") + installRejectionName(c.expected) + ") — " +
                       shownOutput + "\n"),
            std::string::npos)
      << log();
  auto shown = alerts();
  ASSERT_EQ(shown.size(), 2u);
  if (c.expected == InstallRejection::policy) {
    expectAlert(shown[1], AlertStyle::kCritical, "Install blocked by your Mac's security settings",
                kPolicyText + shownOutput);
  } else {
    expectAlert(shown[1], AlertStyle::kCritical, "Install blocked — Gatekeeper rejected the app",
                kTamperText + shownOutput);
  }
}

const std::vector<uint8_t> kHashA = {0xcd, 0x01, 0x02}, kHashB = {0xcd, 0x01, 0x03};
const char* const kRejected = "rejected\\nsource=no usable signature";
const char* const kRejectedShown = "rejected\nsource=no usable signature";

INSTANTIATE_TEST_SUITE_P(
    Evidence, Refusal,
    ::testing::Values(
        RefusalCase{"IntactTwiceSameHashIsPolicy", {{true, kHashA}, {true, kHashA}},
                    "\\n\\t rejected\\nsource=no usable signature \\n", kRejectedShown,
                    InstallRejection::policy},
        RefusalCase{"PolicyWithNoOutputEndsInBlankLines", {{true, kHashA}, {true, kHashA}}, "", "",
                    InstallRejection::policy},
        RefusalCase{"FirstInvalidIsTamper", {{false, {}}, {true, kHashA}}, kRejected, kRejectedShown,
                    InstallRejection::tamper},
        RefusalCase{"SecondInvalidIsTamper", {{true, kHashA}, {false, {}}}, kRejected, kRejectedShown,
                    InstallRejection::tamper},
        RefusalCase{"HashesDifferIsTamper", {{true, kHashA}, {true, kHashB}}, kRejected, kRejectedShown,
                    InstallRejection::tamper},
        RefusalCase{"OutputThatIsNotUtf8CountsAsEmpty", {{true, kHashA}, {false, {}}}, "\\377\\376 bad bytes", "",
                    InstallRejection::tamper}),
    [](const ::testing::TestParamInfo<RefusalCase>& p) { return std::string(p.param.name); });

TEST_F(InstallFlow, AssessmentThatNeverFinishesTimesOut) {
  spctl("echo checking notarization; exec sleep 600");
  WatchdogDriver driver(t, Duration(30.0), milliseconds(500));
  EXPECT_TRUE(install());
  EXPECT_GE(driver.fired(), 1);
  EXPECT_FALSE(exists(staged(system())));
  EXPECT_NE(log().find("] install: spctl rejected (timeout) — checking notarization\n"), std::string::npos) << log();
  auto shown = alerts();
  ASSERT_EQ(shown.size(), 2u);
  expectAlert(shown[1], AlertStyle::kCritical, "Install verification timed out", kTimeoutText);
  EXPECT_EQ(t.application.terminateRequests(), 1);
  // No second evidence for a timeout: the signature was checked once.
  int checks = 0;
  for (const auto& call : t.fakeCodeSigning.calls) checks += call.rfind("checkValidity 24", 0) == 0;
  EXPECT_EQ(checks, 1);
}

TEST_F(InstallFlow, AssessmentIgnoringTerminationIsKilledAndStillTimesOut) {
  spctl("trap '' TERM; while :; do sleep 0.2; done");
  WatchdogDriver driver(t, Duration(30.0), milliseconds(500));
  EXPECT_TRUE(install());
  EXPECT_GE(driver.fired(), 2);
  EXPECT_NE(log().find("] install: spctl rejected (timeout) — \n"), std::string::npos) << log();
}

TEST_F(InstallFlow, ChattyAssessmentIsNotMistakenForAHang) {
  // Far more than a pipe holds. Were it not read while the tool runs, the
  // tool would block, the watchdog would fire and this would be a timeout.
  spctl("head -c 300000 /dev/zero | tr '\\0' 'a'; echo; echo accepted");
  WatchdogDriver driver(t, Duration(30.0), milliseconds(10000));
  ASSERT_TRUE(install());
  EXPECT_EQ(driver.fired(), 0);
  EXPECT_TRUE(exists(system() + "/Quillmark.app"));
  std::string expected = "] install: spctl ok — " + std::string(300000, 'a') + "\naccepted\n";
  EXPECT_NE(log().find(expected), std::string::npos);
}

// ---- Evidence ------------------------------------------------------------

struct EvidenceCase {
  const char* name;
  OSStatus FakeCodeSigning::*failing;  // nullptr: nothing fails
};

class CaptureEvidence : public ::testing::TestWithParam<EvidenceCase> {};

TEST_P(CaptureEvidence, AnyFailingStepGivesTheFailureValue) {
  TestPlatform t;
  if (GetParam().failing) t.fakeCodeSigning.*GetParam().failing = errSecCSSignatureFailed;
  InstallEvidence e = t.makeDelegate()->captureInstallEvidence("/x/.Quillmark.install.812");
  if (!GetParam().failing) {
    EXPECT_TRUE(e.signatureValid);
    EXPECT_EQ(e.cdhash, (std::vector<uint8_t>{0xcd, 0x01}));
    EXPECT_EQ(t.fakeCodeSigning.calls,
              (std::vector<std::string>{"createRequirementWithString",
                                        "createStaticCodeWithPath /x/.Quillmark.install.812", "checkValidity 24",
                                        "copySigningInformation"}));
  } else {
    EXPECT_FALSE(e.signatureValid);
    EXPECT_FALSE(e.cdhash.has_value());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CaptureEvidence,
    ::testing::Values(EvidenceCase{"AllSucceed", nullptr},
                      EvidenceCase{"Requirement", &FakeCodeSigning::createRequirementStatus},
                      EvidenceCase{"StaticCode", &FakeCodeSigning::createStaticStatus},
                      EvidenceCase{"Validity", &FakeCodeSigning::validityStatus},
                      EvidenceCase{"SigningInformation", &FakeCodeSigning::signingInfoStatus}),
    [](const ::testing::TestParamInfo<EvidenceCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace ql::testing
