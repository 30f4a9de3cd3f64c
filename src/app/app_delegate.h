// AppDelegate: the one launcher object. It holds every piece of launcher
// state, and every operation of the launcher is one of its methods; the
// methods are defined in the folder of the subsystem they belong to.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace ql {

namespace supervision {
class ChildSlot;
}

// How a refused install is explained to the user.
enum class InstallRejection { policy = 0, tamper = 1, timeout = 2 };
const char* installRejectionName(InstallRejection r);

// What the launcher learned about a staged bundle's signature.
struct InstallEvidence {
  bool signatureValid = false;          // true exactly when cdhash is present
  std::optional<std::vector<uint8_t>> cdhash;
};

// Values the migration step hands to seeding.
struct MigrationResult {
  bool homeExisted = false;
  bool reseedRequested = false;
};

// The result of runCapture.
struct CaptureResult {
  int status = 0;
  std::string stdoutText;
};

// How the Gatekeeper assessment of a staged bundle ended.
struct AssessmentOutcome {
  enum class Kind { kPassed, kRefused, kNotStarted };
  Kind kind = Kind::kPassed;
  Status launchError;  // for kNotStarted
};

// The directory snapshot the migration takes once, in this order.
struct DirectorySnapshot {
  EntryType fernvaleType = EntryType::kNone;
  std::optional<std::string> fernvaleLinkText;
  EntryType zorvanType = EntryType::kNone;
  std::string zorvanResolved;
  bool zorvanPopulated = false;
  std::string homeResolved;
};

// The distant past: earlier than any real time, and still safe to subtract
// from "now" without overflowing the clock's representation.
inline const TimePoint kDistantPast = TimePoint{} - std::chrono::hours(24 * 365 * 200);

class AppDelegate : public ApplicationDelegate,
                    public std::enable_shared_from_this<AppDelegate> {
 public:
  // Construction reads only the bundle path and the home directory.
  explicit AppDelegate(Platform& platform);
  ~AppDelegate() override;
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  // ---- Application delegate (the platform calls these on the main thread)
  void applicationDidFinishLaunching() override;                   // startup_sequence.cc
  void openInBrowser() override;                                   // supervision/user_actions.cc
  bool applicationShouldHandleReopen(bool hasVisibleWindows) override;  // supervision/user_actions.cc
  TerminateReply applicationShouldTerminate() override;            // supervision/user_actions.cc

  // ---- Launcher state (app_delegate.cc)
  // Process-wide values: each computed once, on first use, from any thread.
  const std::string& shellURL();        // path of the shell executable
  bool noWindowRequested();
  bool shellBinaryUsable();
  // Install eligibility, evaluated afresh on every read (install/eligibility.cc).
  bool installPromptExpected();
  // Entry-point and start-up policy decisions.
  ActivationPolicy entryActivationPolicy();
  ActivationPolicy startupActivationPolicy();
  void installMainMenu();

  // ---- Launcher log and fatal failure (launcher_log.cc)
  // Thread-safe; one line is always written whole.
  void logLine(const std::string& message);
  // Raw notices: preformatted "[quillmark] …\n" texts without a timestamp.
  // Before the log file is open (the migration step): standard error, then
  // preLog, which the open copies into the file.
  void rawNoticeBeforeLogOpen(const std::string& text);
  // From the log-open step on: standard error, then the log (which is
  // standard error again when the file could not be opened).
  void rawNotice(const std::string& text);
  // Creates/empties <zvd>/logs/app.log, switches the log to it, copies preLog.
  void openLogFile();
  // Queues the fatal alert on the main queue; returns at once.
  void fail(const std::string& message);
  int runModalActivated(Alert& alert);

  // ---- Data directory (datadir/)
  std::string dataDir();                                           // data_dir.cc
  MigrationResult migrateLegacyDataDir();                          // migration.cc
  bool checkLegacyPlant(const std::string& fernvalePath, const DirectorySnapshot& snapshot,
                        const std::string& zorvanPath, const std::string& home);  // quarantine.cc
  bool checkHomePlant(const std::string& candidate, const std::optional<std::string>& source,
                      const std::string& home);                    // quarantine.cc
  std::string quarantineName(const std::string& path);             // quarantine.cc

  // ---- Integrity (integrity/)
  // Step 8: on success the seed requirement; on failure it has called fail.
  std::optional<RequirementRef> checkBundleSignature();            // signature_check.cc
  // Step 9: false when it has called fail.
  bool seedServiceBinary(bool homeExisted, bool reseedRequested,
                         const RequirementRef& seedRequirement);   // seeding.cc
  // Step 11.
  void removeLeftoverBinary();                                     // seeding.cc
  std::string bundleVersion();                                     // seeding.cc

  // ---- Supervision (supervision/)
  void run(const std::vector<std::string>& arguments, double limitSeconds);   // command_runner.cc
  std::optional<CaptureResult> runCapture(const std::vector<std::string>& arguments,
                                          double limitSeconds);             // command_runner.cc
  bool lockfilePidAlive();                                         // daemon_supervisor.cc
  void launchLegacyDaemon();                                       // daemon_supervisor.cc
  void launchShell();                                              // shell_supervisor.cc
  void enterBrowserFallback();                                     // browser_fallback.cc

  // ---- Install (install/)
  std::string untranslocatedBundlePath();                          // eligibility.cc
  std::string canonicalPath(const std::string& path);              // eligibility.cc
  bool maybeInstallToApplications();                               // install_flow.cc
  InstallEvidence captureInstallEvidence(const std::string& stagedPath);  // gatekeeper.cc
  AssessmentOutcome assessStagedBundle(const std::string& stagedPath,
                                       const InstallEvidence& firstEvidence);  // gatekeeper.cc

  // ---- Read access for the entry point and tests
  const std::string& bundledSeed() const { return bundledSeed_; }
  const std::string& zvd() const { return zvd_; }
  const std::string& zorvan() const { return zorvan_; }
  bool shellMode() const { return shellMode_; }
  bool ownsDaemon() const { return ownsDaemon_; }
  bool browserFallbackActive() const { return browserFallbackActive_; }
  std::shared_ptr<Task> daemon() const { return daemon_; }
  std::shared_ptr<Task> shellProc() const { return shellProc_; }
  std::string preLogSnapshot();
  bool logIsStandardError();
  Platform& platform() { return p_; }
  // A quit has been asked for (a signal, the quit action, terminate()), even
  // if the terminate itself has not reached applicationShouldTerminate yet
  // because the main thread was busy. Start-up, the install flow and the
  // supervisors start nothing once it is true. Any thread.
  bool quitRequested() { return p_.application.terminationRequested(); }

 private:
  // Helpers private to one subsystem are declared here, grouped by folder.
  // supervision/
  void daemonExited(int status);
  void successorWait(int status);
  void shellExited(const std::shared_ptr<Task>& task);
  void openAction();
  void reportStandardError(const std::string& prefix, const std::vector<std::string>& arguments,
                           Task& task, Duration grace);
  // runCapture whose child lives in `slot` while it runs, so that the quit
  // path can stop it; nothing is launched once the slot is stopped.
  std::optional<CaptureResult> runCaptureIn(supervision::ChildSlot* slot, const std::vector<std::string>& arguments,
                                            double limitSeconds);
  // Supervision tests put the launcher into the state start-up leaves it in.
  friend struct SupervisionTestAccess;
  // launcher_log.cc
  void writeToLog(const std::string& bytes);
  // install/
  std::string userApplicationsFolder();                            // eligibility.cc
  bool anotherCopyRunning();                                       // install_flow.cc
  void sweepInstallLeftovers(const std::string& targetFolder);     // install_flow.cc
  void clearQuarantine(const std::string& stagedPath);             // install_flow.cc
  Status swapIntoPlace(const std::string& stagedPath, const std::string& destination,
                       const std::string& backupPath);             // install_flow.cc
  bool installFailed(const std::string& targetFolder, const std::string& stagedPath,
                     const Status& error);                         // install_flow.cc
  // A quit came during the flow: the staged copy goes, nothing is shown,
  // and the result is true (this process is quitting).
  bool installAbandoned(const std::string& stagedPath);            // install_flow.cc
  void relaunchInstalled(const std::string& destination);          // install_flow.cc

  Platform& p_;

  // Stored properties, in declaration order.
  const std::string bundledSeed_;
  std::string zorvan_;
  const std::string zvd_;
  std::shared_ptr<FileHandle> log_;
  std::shared_ptr<Task> daemon_;
  bool ownsDaemon_ = false;
  std::string preLog_;
  bool shellMode_ = false;
  std::shared_ptr<Task> shellProc_;
  TimePoint shellSpawnedAt_ = kDistantPast;
  bool browserFallbackActive_ = false;
  // The browser fallback's attempts, shared with its background loop: the
  // quit path stops the one in flight and keeps any other from starting.
  std::shared_ptr<supervision::ChildSlot> fallbackAttempts_;

  // One lock around writing a line and appending it to preLog, so that lines
  // from the main thread and background queues never interleave.
  std::mutex logMutex_;

  // Process-wide values (one AppDelegate per process, so once per object is
  // once per process; tests build several).
  std::once_flag shellURLOnce_, noWindowOnce_, shellUsableOnce_;
  std::string shellURL_;
  bool noWindowRequested_ = false;
  bool shellBinaryUsable_ = false;
};

// Joins path components with "/" as plain string concatenation.
inline std::string joinPath(const std::string& a, const std::string& b) { return a + "/" + b; }

// "~", "~/x" and "~user/x" expanded with the platform's home directories; a
// path without a leading tilde (or an unknown user) comes back unchanged.
std::string expandTilde(ProcessInfo& process, const std::string& path);

// The entry point: sets up the application object and runs its event loop.
int launcherMain(Platform& platform);

}  // namespace ql
