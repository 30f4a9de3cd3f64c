// When the service binary in the launcher home must be copied again.
#pragma once

#include <optional>
#include <string>
#include <string_view>

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

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

}  // namespace ql::seeding
