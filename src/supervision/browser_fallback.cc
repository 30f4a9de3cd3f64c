#include "app/app_delegate.h"

namespace ql {

void AppDelegate::enterBrowserFallback() { browserFallbackActive_ = true; }

}  // namespace ql
