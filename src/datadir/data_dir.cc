#include "app/app_delegate.h"

namespace ql {

// Placeholder until the config.toml scanner lands: the launcher home.
std::string AppDelegate::dataDir() { return zvd_; }

}  // namespace ql
