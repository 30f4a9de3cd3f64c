#include "app/app_delegate.h"

namespace ql {

bool AppDelegate::maybeInstallToApplications() { return false; }

}  // namespace ql
