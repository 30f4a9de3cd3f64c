#include <exception>

#include "app/app_delegate.h"
#include "datadir/config_scanner.h"

namespace ql {

// Read afresh on every call: the service may rewrite config.toml (a moved
// data directory) while the launcher is waiting for its successor.
std::string AppDelegate::dataDir() {
  try {
    Result<std::string> bytes = p_.files.readFile(zvd_ + "/config.toml", datadir::kMaxConfigBytes);
    if (!bytes.ok()) return zvd_;
    std::optional<std::string> value = datadir::scanDataDirValue(bytes.value());
    if (!value) return zvd_;
    return expandTilde(p_.process, *value);
  } catch (const std::exception&) {
    // Only memory exhaustion can get here; the launcher home is always a
    // usable answer.
    return zvd_;
  }
}

}  // namespace ql
