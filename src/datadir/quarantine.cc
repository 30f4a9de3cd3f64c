#include "app/app_delegate.h"

namespace ql {

bool AppDelegate::checkLegacyPlant(const std::string&, const DirectorySnapshot&, const std::string&,
                                   const std::string&) {
  return false;
}

bool AppDelegate::checkHomePlant(const std::string&, const std::optional<std::string>&,
                                 const std::string&) {
  return false;
}

std::string AppDelegate::quarantineName(const std::string& path) {
  long long secs = static_cast<long long>(secondsSinceEpoch(p_.clock.now()));
  return path + ".quarantine-" + std::to_string(secs);
}

}  // namespace ql
