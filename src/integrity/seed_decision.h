// When the service binary in the launcher home must be copied again.
#pragma once

#include <optional>
#include <string>

namespace ql::seeding {

struct SeedFacts {
  bool homeExisted = false;
  bool reseedRequested = false;
  bool seededIsExecutable = false;
  std::string bundleVersion;
  std::optional<std::string> marker;  // absent: missing, unreadable or not UTF-8
};

// The tests in their fixed order; the first that holds decides.
bool seedNeeded(const SeedFacts& facts);

}  // namespace ql::seeding
