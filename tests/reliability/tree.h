// Snapshots of directory trees for the reliability tests: what a tree holds,
// byte for byte, and where the service's keys are.
#pragma once

#include <string>
#include <vector>

namespace ql::testing {

// Every entry below `root` (links not followed), sorted, with its type, mode,
// size and contents (a link's text). Two trees with the same digest hold the
// same things. The digest of a missing path is "".
std::string treeDigest(const std::string& root);

// One file named encryption.key found below a root.
struct FoundKey {
  std::string directory;  // the directory that holds it
  std::string contents;
};
// Every encryption.key below `root`, without following links.
std::vector<FoundKey> findKeys(const std::string& root);

// Names of the direct entries of `dir` that begin with `prefix`.
std::vector<std::string> entriesWithPrefix(const std::string& dir, const std::string& prefix);

// A data directory as the service leaves it: encryption.key and data.db,
// both holding `tag`, plus a config.toml without data_dir.
void makeDataDirectory(const std::string& path, const std::string& tag);
// True when `dir` (links followed) holds both files with `tag`.
bool holdsDataDirectory(const std::string& dir, const std::string& tag);

// A small bundle tree: Info.plist, launcher, service binary; `flavour` makes
// the contents differ between an old and a new build.
void makeBundleTree(const std::string& path, const std::string& flavour);

}  // namespace ql::testing
