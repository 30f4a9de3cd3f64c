// Seeding the service binary into the launcher home, verified before it
// replaces what is there.
#include <cerrno>

#include "app/app_delegate.h"
#include "common/utf8.h"
#include "integrity/seed_decision.h"

namespace ql {

std::string AppDelegate::bundleVersion() {
  InfoValue v = p_.bundle.infoValue("CFBundleVersion");
  return v.isString() ? v.string : "dev";
}

bool AppDelegate::seedServiceBinary(bool homeExisted, bool reseedRequested, const RequirementRef& seedRequirement) {
  const std::string seeded = zvd_ + "/bin/quillmark";
  const std::string markerPath = zvd_ + "/bin/.seed";
  auto reportFailure = [&](const Status& error) {
    logLine("seed failed (" + error.fullDescription() + ")");
    fail("Couldn't install the Quillmark daemon into " + zvd_ + "/bin:\n" + error.localizedDescription() +
         "\n\nCheck free disk space and permissions, then re-launch.");
    return false;
  };

  // bin/ is the launcher's own directory. Through a link there the binary
  // and its marker would be written (and later run) wherever the link
  // leads, over whatever files of those names live there; anything but a
  // real directory is refused as a bin/ that cannot be written. The home
  // itself may be a link (an adopted layout); only bin/ is judged.
  if (p_.files.entryType(zvd_ + "/bin") != EntryType::kDirectory) return reportFailure(Status::Posix(ENOTDIR));

  seeding::SeedFacts facts;
  facts.homeExisted = homeExisted;
  facts.reseedRequested = reseedRequested;
  facts.bundleVersion = bundleVersion();
  // The marker is read before any test, whatever the tests decide.
  Result<std::string> marker = p_.files.readFile(markerPath, size_t(1) << 20);
  if (marker.ok() && isValidUtf8(marker.value())) facts.marker = marker.value();
  facts.seededIsExecutable = p_.files.isExecutableFile(seeded);
  if (!seeding::seedNeeded(facts)) return true;

  // The staged name carries our pid, so two launchers never share a copy,
  // and it sits beside the target so the final rename stays on one file system.
  const std::string staged = seeded + ".seed." + std::to_string(p_.process.processIdentifier());
  (void)p_.files.removeItem(staged);

  auto installError = [&](const Status& error) {
    (void)p_.files.removeItem(staged);
    return reportFailure(error);
  };

  // The copy keeps the source's permissions up to 0755: the seeded binary is
  // run by later launches on the marker alone, so it must never be set-id or
  // writable by others, whatever mode the bundle's file has. The limit holds
  // from the copy's creation, so nobody can take a write descriptor on it
  // before the verification below.
  Status copied = p_.files.copyFileLimitingPermissions(bundledSeed_, staged, 0755);
  if (!copied.ok()) return installError(copied);

  // Verify the copy itself, not the original: the bundle may have changed
  // since the signature check, and only what was copied will run.
  OSStatus status = errSecCSInternalError;
  {
    StaticCodeRef stagedCode;
    if (p_.codeSigning.createStaticCodeWithPath(staged, kSecCSDefaultFlags, &stagedCode) == errSecSuccess &&
        stagedCode) {
      status = p_.codeSigning.checkValidity(stagedCode, kSecCSDefaultFlags, seedRequirement);
    }
  }
  if (status != errSecSuccess) {
    (void)p_.files.removeItem(staged);
    rawNotice("[quillmark] SECURITY: staged seed failed DR verify (status " + std::to_string(status) + ") — " +
              bundledSeed_ + " was modified between verify and copy. Refusing to launch.\n");
    fail("The Quillmark app bundle was modified while launching. Re-download and reinstall from a trusted source.");
    return false;
  }

  // One atomic step: a running service keeps the old file, a reader sees
  // the old binary or the whole new one.
  Status renamed = p_.files.rename(staged, seeded);
  if (!renamed.ok()) return installError(renamed);  // rename(2)'s errno, POSIX domain

  Status written = p_.files.writeFile(markerPath, facts.bundleVersion, true);
  if (!written.ok()) return installError(written);
  return true;
}

void AppDelegate::removeLeftoverBinary() {
  const std::string leftover = zvd_ + "/bin/zorvan";
  // entryType does not follow a final link, so a dangling link counts.
  if (p_.files.entryType(leftover) == EntryType::kNone) return;
  if (lockfilePidAlive()) return;
  Status removed = p_.files.removeItem(leftover);
  if (!removed.ok()) logLine("leftover bin/zorvan entry not removed (" + removed.fullDescription() + ") — continuing");
}

}  // namespace ql
