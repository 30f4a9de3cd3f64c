// Whether this launch offers the install, and the two path operations the
// decision and the install flow rest on.
#include <cstdlib>

#include "app/app_delegate.h"
#include "common/path_equality.h"
#include "install/install_text.h"
#include "install/translocation.h"

namespace ql {

namespace {
const char* const kSkipInstallKey = "ZORVAN_SKIP_INSTALL";
// A firmlinked spelling of the root volume: the prefix with its slash marks
// it, and everything but that slash is dropped.
const std::string kDataVolumePrefix = "/System/Volumes/Data/";
const size_t kDataVolumeStrip = 20;  // "/System/Volumes/Data"
}  // namespace

std::string AppDelegate::untranslocatedBundlePath() {
  std::string path = p_.bundle.bundlePath();
  // The substring test comes first: an ordinary launch never loads anything.
  if (path.find(kTranslocationMarker) == std::string::npos) return path;

  std::unique_ptr<DynamicLibrary> library = p_.libraries.open(p_.facts.securityFramework, kRtldLazy);
  if (!library) return path;
  void* symbol = library->symbol(kTranslocationSymbol);
  if (!symbol) return path;  // the library closes as it goes out of scope

  auto original = reinterpret_cast<SecTranslocateCreateOriginalPathForURLFn>(symbol);
  std::string result = path;
  if (char* mapped = original(path.c_str(), nullptr)) {
    // An empty answer names no place at all; keep the reported path then.
    if (*mapped) result = mapped;
    std::free(mapped);
  }
  return result;
}

std::string AppDelegate::canonicalPath(const std::string& path) {
  // resolvedPath resolves every link it meets and folds "." and "..", as a
  // file URL's resolve-then-standardise does.
  std::string resolved = p_.files.resolvedPath(path);
  if (resolved.compare(0, kDataVolumePrefix.size(), kDataVolumePrefix) == 0) {
    return resolved.substr(kDataVolumeStrip);
  }
  return resolved;
}

std::string AppDelegate::userApplicationsFolder() {
  return expandTilde(p_.process, p_.facts.userApplicationsFolder);
}

bool AppDelegate::installPromptExpected() {
  if (p_.process.environment().count(kSkipInstallKey) > 0) return false;
  std::string parent = deletingLastPathComponent(canonicalPath(untranslocatedBundlePath()));
  // Only the immediate parent counts: a bundle in a subfolder of an
  // Applications folder is still offered the move to the top level.
  if (pathsEqual(parent, canonicalPath(p_.facts.systemApplicationsFolder))) return false;
  if (pathsEqual(parent, canonicalPath(userApplicationsFolder()))) return false;
  return true;
}

}  // namespace ql
