#include "integrity/seed_decision.h"

namespace ql::seeding {

bool seedNeeded(const SeedFacts& f) {
  if (!f.homeExisted) return true;
  if (f.reseedRequested) return true;
  if (!f.seededIsExecutable) return true;
  // A development bundle has no version to compare, so every launch copies.
  if (f.bundleVersion == "dev") return true;
  if (!f.marker) return true;
  return *f.marker != f.bundleVersion;  // exact, nothing trimmed
}

}  // namespace ql::seeding
