#include "app/app_delegate.h"

namespace ql {

void AppDelegate::applicationDidFinishLaunching() {
  // A quit asked for while a step blocked the main thread (an alert, a copy,
  // a signature check) cannot reach applicationShouldTerminate until this
  // routine returns; so each step that can take long is followed by a look
  // at the request, and the routine stops there. Nothing is started after
  // it; the queued terminate then runs the one quit path.
  auto quitting = [this] {
    if (!quitRequested()) return false;
    logLine("quit requested — start-up stopped, nothing launched");
    return true;
  };

  // 1. The install flow may take this launch over: then nothing else runs.
  if (maybeInstallToApplications()) return;
  if (quitting()) return;

  // 2-3. Policy again (an install alert may have made us regular), then menu.
  p_.application.setActivationPolicy(startupActivationPolicy());
  installMainMenu();

  // 4. Never stops the start-up.
  MigrationResult migration = migrateLegacyDataDir();
  if (quitting()) return;

  // 5. Errors are swallowed: an unusable home shows up as a seeding failure.
  (void)p_.files.createDirectory(zvd_ + "/logs", true);
  (void)p_.files.createDirectory(zvd_ + "/bin", true);

  // 6-7. Through a link at logs/ the log would be emptied and written
  // wherever the link leads; such a log counts as one that cannot be opened
  // (the launch logs to standard error). The home itself may be a link.
  if (p_.files.entryType(zvd_ + "/logs") == EntryType::kDirectory) openLogFile();
  logLine("launch " + p_.bundle.bundlePath());

  // 8. The code-signing objects live in this scope and are released on every
  // return below.
  std::optional<RequirementRef> seedRequirement = checkBundleSignature();
  if (!seedRequirement) return;
  if (quitting()) return;

  // 9.
  if (!seedServiceBinary(migration.homeExisted, migration.reseedRequested, *seedRequirement)) return;
  if (quitting()) return;

  // 10. Locate the service binary.
  std::string seeded = zvd_ + "/bin/quillmark";
  if (p_.files.isExecutableFile(seeded)) zorvan_ = seeded;
  if (zorvan_.empty()) {
    fail("Couldn't locate a verified Quillmark daemon binary at " + seeded + ". Re-download and reinstall.");
    return;
  }

  // 11.
  removeLeftoverBinary();

  // 12. Launch decision; the last look at a quit request before a child runs.
  if (quitting()) return;
  if (shellMode_) {
    launchShell();
  } else if (noWindowRequested()) {
    logLine("ZORVAN_NO_WINDOW set — legacy browser mode (serve --app)");
    launchLegacyDaemon();
  } else {
    logLine("no window shell at " + shellURL() + " — legacy browser mode (serve --app)");
    launchLegacyDaemon();
  }

  // 13. The launch's checks are over and the launcher now mostly waits for
  // its children, for hours: what the checks used goes back.
  p_.codeSigning.releaseUnusedMemory();
}

}  // namespace ql
