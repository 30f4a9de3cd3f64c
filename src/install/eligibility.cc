#include "app/app_delegate.h"

namespace ql {

bool AppDelegate::installPromptExpected() { return false; }
std::string AppDelegate::untranslocatedBundlePath() { return p_.bundle.bundlePath(); }
std::string AppDelegate::canonicalPath(const std::string& path) { return p_.files.resolvedPath(path); }

}  // namespace ql
