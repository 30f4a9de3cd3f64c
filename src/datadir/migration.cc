#include "app/app_delegate.h"

namespace ql {

// Placeholder until legacy migration lands: report whether the home exists.
MigrationResult AppDelegate::migrateLegacyDataDir() {
  MigrationResult r;
  r.homeExisted = p_.files.entryType(zvd_) != EntryType::kNone;
  return r;
}

}  // namespace ql
