#include "app/app_delegate.h"

namespace ql {

// Placeholder until code signing lands: no requirement, nothing checked.
std::optional<RequirementRef> AppDelegate::checkBundleSignature() { return RequirementRef(); }

}  // namespace ql
