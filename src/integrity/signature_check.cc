// The bundle must still be the bundle that was signed before anything is
// copied out of it or started.
#include "app/app_delegate.h"

namespace ql {

std::optional<RequirementRef> AppDelegate::checkBundleSignature() {
  CodeSigning& cs = p_.codeSigning;
  const std::string bundlePath = p_.bundle.bundlePath();

  // Every object below is a reference held only in this scope, so each is
  // released on every return.
  CodeRef self;
  StaticCodeRef selfStatic, seedCode, bundleCode;
  RequirementRef launcherRequirement, seedRequirement;

  // The order matters: the launcher's own requirement first, then the
  // service binary's, then the object to validate. A success without an
  // object is treated as the failure it would be anywhere else.
  bool readable = cs.copySelf(kSecCSDefaultFlags, &self) == errSecSuccess && self &&
                  cs.copyStaticCode(self, kSecCSDefaultFlags, &selfStatic) == errSecSuccess && selfStatic &&
                  cs.copyDesignatedRequirement(selfStatic, kSecCSDefaultFlags, &launcherRequirement) ==
                      errSecSuccess &&
                  launcherRequirement &&
                  cs.createStaticCodeWithPath(bundledSeed_, kSecCSDefaultFlags, &seedCode) == errSecSuccess &&
                  seedCode &&
                  cs.copyDesignatedRequirement(seedCode, kSecCSDefaultFlags, &seedRequirement) == errSecSuccess &&
                  seedRequirement &&
                  cs.createStaticCodeWithPath(bundlePath, kSecCSDefaultFlags, &bundleCode) == errSecSuccess &&
                  bundleCode;
  if (!readable) {
    fail("Couldn't read this app's code signature. The bundle at " + bundlePath +
         " may be damaged — re-download and reinstall.");
    return std::nullopt;
  }

  OSStatus status = cs.checkValidity(bundleCode, kSecCSCheckNestedCode | kSecCSStrictValidate, launcherRequirement);
  if (status != errSecSuccess) {
    rawNotice("[quillmark] SECURITY: bundle code signature invalid (status " + std::to_string(status) + ") — " +
              bundlePath + " has been modified since it was signed. Refusing to reseed/launch.\n");
    fail("The Quillmark app bundle's code signature is invalid — it has been modified since it was signed. "
         "Re-download and reinstall from a trusted source.");
    return std::nullopt;
  }
  return seedRequirement;
}

}  // namespace ql
