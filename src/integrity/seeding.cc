#include "app/app_delegate.h"

namespace ql {

std::string AppDelegate::bundleVersion() {
  InfoValue v = p_.bundle.infoValue("CFBundleVersion");
  return v.isString() ? v.string : "dev";
}

// Placeholder until verified seeding lands: copy and rename, unverified.
bool AppDelegate::seedServiceBinary(bool, bool, const RequirementRef&) {
  std::string seeded = zvd_ + "/bin/quillmark";
  std::string staged = seeded + ".seed." + std::to_string(p_.process.processIdentifier());
  (void)p_.files.removeItem(staged);
  Status s = p_.files.copyItem(bundledSeed_, staged);
  if (s.ok()) s = p_.files.rename(staged, seeded);
  if (!s.ok()) {
    (void)p_.files.removeItem(staged);
    logLine("seed failed (" + s.fullDescription() + ")");
    fail("Couldn't install the Quillmark daemon into " + zvd_ + "/bin:\n" + s.localizedDescription() +
         "\n\nCheck free disk space and permissions, then re-launch.");
    return false;
  }
  return true;
}

void AppDelegate::removeLeftoverBinary() {}

}  // namespace ql
