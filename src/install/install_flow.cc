// The self-install: prompt, target folder, copy, assessment, quarantine
// removal, swap into place and relaunch. Everything runs on the main thread
// before the log file is open, so its lines go to standard error and preLog.
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>

#include "app/app_delegate.h"
#include "common/path_equality.h"
#include "install/child_watchdog.h"
#include "install/install_text.h"

namespace ql {

namespace {

const char* const kInstalledName = "Quillmark.app";
const char* const kStagedPrefix = "/.Quillmark.install.";
const char* const kBackupPrefix = "/.Quillmark.old.";
const char* const kDefaultBundleIdentifier = "com.talvoria.zorvan";
// Names of earlier attempts' staged and backup bundles, under both product
// names; matched case-sensitively so an unrelated ".quillmark…" survives.
const std::array<const char*, 4> kLeftoverPrefixes = {".Quillmark.install.", ".Quillmark.old.",
                                                      ".Zorvan.install.", ".Zorvan.old."};
const Duration kQuarantineLimit{10.0};

bool hasPrefix(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// The process id after a leftover prefix, when the rest of the name is one
// (1 to 2^31-1, so no probe addresses a process group).
std::optional<long long> decimalSuffix(const std::string& name, size_t from) {
  if (from >= name.size() || name.size() - from > 10) return std::nullopt;
  long long v = 0;
  for (size_t i = from; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return std::nullopt;
    v = v * 10 + (name[i] - '0');
  }
  if (v < 1 || v > INT32_MAX) return std::nullopt;
  return v;
}

Alert warningAlert(std::string message, std::string informative) {
  Alert a;
  a.style = AlertStyle::kWarning;
  a.messageText = std::move(message);
  a.informativeText = std::move(informative);
  return a;
}

}  // namespace

bool AppDelegate::maybeInstallToApplications() {
  FileManager& files = p_.files;
  const std::string source = canonicalPath(untranslocatedBundlePath());
  const std::string userFolder = userApplicationsFolder();

  if (!installPromptExpected()) return false;

  Alert prompt;  // the platform's default style
  prompt.messageText = "Install Quillmark?";
  prompt.informativeText = "Quillmark will be copied to your Applications folder and opened from there.";
  prompt.buttons = {"Install", "Not Now"};
  int answer = runModalActivated(prompt);
  // A quit asked for while the prompt was up wins over its answer: the
  // user wanted out, so nothing is installed and start-up stops.
  if (quitRequested()) {
    logLine("install: quit requested — nothing installed");
    return true;
  }
  if (answer != kAlertFirstButtonReturn) return false;

  std::string target;
  const std::string& systemFolder = p_.facts.systemApplicationsFolder;
  if (files.isWritableFile(systemFolder)) {
    target = systemFolder;
  } else {
    (void)files.createDirectory(userFolder, true);  // its outcome is judged by the probe below
    if (files.isWritableFile(userFolder)) {
      target = userFolder;
    } else {
      Alert none = warningAlert("Couldn't install Quillmark", "Neither " + systemFolder + " nor " + userFolder +
                                                                  " is writable. Quillmark will run from its "
                                                                  "current location.");
      runModalActivated(none);
      return false;
    }
  }

  const std::string destination = target + "/" + kInstalledName;

  // Replacing the bundle of a copy that is running would pull it out from
  // under that process; the user quits it first.
  if (anotherCopyRunning()) return true;

  const std::string pid = std::to_string(p_.process.processIdentifier());
  const std::string staged = target + kStagedPrefix + pid;

  sweepInstallLeftovers(target);

  // A translocated launch copies from where the user put the bundle, not
  // from the read-only translocation area.
  if (Status copied = files.copyItem(source, staged); !copied.ok()) return installFailed(target, staged, copied);
  if (quitRequested()) return installAbandoned(staged);

  InstallEvidence firstEvidence = captureInstallEvidence(staged);
  AssessmentOutcome assessment = assessStagedBundle(staged, firstEvidence);
  switch (assessment.kind) {
    case AssessmentOutcome::Kind::kPassed:
      break;
    case AssessmentOutcome::Kind::kRefused:
      return true;
    case AssessmentOutcome::Kind::kNotStarted:
      return installFailed(target, staged, assessment.launchError);
  }
  if (quitRequested()) return installAbandoned(staged);

  // Only the system folder is cleared: the user's own folder keeps the
  // attribute the copy carried, as a download there would.
  if (!pathsEqual(target, userFolder)) clearQuarantine(staged);
  if (quitRequested()) return installAbandoned(staged);

  if (Status swapped = swapIntoPlace(staged, destination, target + kBackupPrefix + pid); !swapped.ok()) {
    return installFailed(target, staged, swapped);
  }

  // Installed; but a quit that came meanwhile means no new instance is
  // started: the user finds the installed copy in its folder.
  if (quitRequested()) {
    logLine("install: quit requested — installed, not relaunched");
    return true;
  }
  relaunchInstalled(destination);
  return true;
}

bool AppDelegate::anotherCopyRunning() {
  std::string identifier = p_.bundle.bundleIdentifier().value_or(kDefaultBundleIdentifier);
  RunningApplication self = p_.workspace.currentApplication();
  const std::string ownBundle = canonicalPath(untranslocatedBundlePath());
  for (const RunningApplication& app : p_.workspace.runningApplicationsWithBundleIdentifier(identifier)) {
    if (app == self) continue;
    // A second start of this very bundle (the download opened twice) runs
    // from the folder the install only reads, so nothing is pulled out from
    // under it. Counting it made two such starts refuse each other, and
    // neither installed anything.
    if (app.bundlePath && pathsEqual(canonicalPath(*app.bundlePath), ownBundle)) continue;
    std::string folder = app.bundlePath ? deletingLastPathComponent(canonicalPath(*app.bundlePath))
                                        : std::string("another location");
    Alert running = warningAlert("Quillmark is already running",
                                 "Quit the running copy in " + folder + " first, then launch this one again to install.");
    runModalActivated(running);
    p_.application.terminate();
    return true;
  }
  return false;
}

void AppDelegate::sweepInstallLeftovers(const std::string& targetFolder) {
  Result<std::vector<std::string>> names = p_.files.contentsOfDirectory(targetFolder);
  if (!names.ok()) return;  // nothing to sweep that we can see
  const long long self = p_.process.processIdentifier();
  for (const std::string& name : names.value()) {
    for (const char* prefix : kLeftoverPrefixes) {
      if (!hasPrefix(name, prefix)) continue;
      // The staged or backup bundle of an install that is still under way
      // (another start of the download) is no leftover: removing it would
      // break that install half-way, or take the old bundle it is about to
      // put back. A reused process id keeps a real leftover until that
      // process ends; it costs disk space, not data.
      std::optional<long long> owner = decimalSuffix(name, std::strlen(prefix));
      if (owner && *owner != self && p_.process.signalProbe(*owner) == 0) break;
      (void)p_.files.removeItem(targetFolder + "/" + name);  // what stays is swept next time
      break;
    }
  }
}

void AppDelegate::clearQuarantine(const std::string& stagedPath) {
  TaskSpec launchSpec;
  launchSpec.executable = p_.facts.quarantineTool;
  launchSpec.arguments = {"-dr", "com.apple.quarantine", stagedPath};
  // Its output is the launcher's own: it inherits standard output and error.
  std::shared_ptr<Task> xattr = p_.tasks.makeTask(std::move(launchSpec));
  if (!xattr->launch().ok()) {
    logLine("xattr spawn failed — quarantine bit may persist");
    return;
  }
  scheduleChildWatchdog(p_.dispatch, xattr, kQuarantineLimit);
  xattr->waitUntilExit();
  int status = xattr->terminationStatus();
  if (status != 0) logLine("xattr -dr com.apple.quarantine exited " + std::to_string(status));
}

Status AppDelegate::swapIntoPlace(const std::string& stagedPath, const std::string& destination,
                                  const std::string& backupPath) {
  FileManager& files = p_.files;
  if (files.fileExists(destination)) {
    // One atomic exchange: at every instant a complete bundle sits at the
    // destination. The old one is then under the staged name.
    if (files.exchange(stagedPath, destination).ok()) {
      (void)files.removeItem(stagedPath);  // a leftover here is swept next time
      return Status::OK();
    }
  }

  // The file system cannot exchange, or there is nothing to exchange with:
  // move the old bundle aside, rename, and put it back if the rename fails.
  bool movedAside = false;
  if (files.fileExists(destination)) movedAside = files.rename(destination, backupPath).ok();
  Status renamed = files.rename(stagedPath, destination);
  if (renamed.ok()) {
    if (movedAside) (void)files.removeItem(backupPath);
    return Status::OK();
  }
  if (movedAside) (void)files.rename(backupPath, destination);
  (void)files.removeItem(stagedPath);
  return Status::Posix(static_cast<int>(renamed.code()));
}

bool AppDelegate::installAbandoned(const std::string& stagedPath) {
  if (p_.files.entryType(stagedPath) != EntryType::kNone) (void)p_.files.removeItem(stagedPath);
  logLine("install: quit requested — install abandoned");
  return true;
}

bool AppDelegate::installFailed(const std::string& targetFolder, const std::string& stagedPath,
                                const Status& error) {
  // The user asked to quit while the step that failed was running: an
  // alert would only hold the quit up.
  if (quitRequested()) return installAbandoned(stagedPath);
  if (p_.files.entryType(stagedPath) != EntryType::kNone) (void)p_.files.removeItem(stagedPath);
  Alert failed = warningAlert("Couldn't install to " + targetFolder,
                              error.localizedDescription() + "\n\nQuillmark will run from its current location instead.");
  runModalActivated(failed);
  return false;
}

void AppDelegate::relaunchInstalled(const std::string& destination) {
  auto self = shared_from_this();
  p_.workspace.openApplication(destination, /*newInstance=*/true, [self, destination](Status opened) {
    // The platform may call this on any thread; the alert and the quit
    // belong to the main thread.
    self->p_.dispatch.asyncMain([self, destination, opened] {
      if (!opened.ok()) {
        Alert alert;
        alert.style = AlertStyle::kCritical;
        alert.messageText = "Installed, but couldn't launch " + destination;
        alert.informativeText = opened.localizedDescription() + "\n\nOpen it from Applications.";
        self->runModalActivated(alert);
      }
      self->p_.application.terminate();
    });
  });
}

}  // namespace ql
