// The running process: environment, identity, users' home directories, and
// the main bundle it was started from.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace ql {

class ProcessInfo {
 public:
  virtual ~ProcessInfo() = default;
  virtual std::map<std::string, std::string> environment() = 0;
  virtual int processIdentifier() = 0;
  // The current user's home directory.
  virtual std::string homeDirectory() = 0;
  // The home directory of `user`, for "~user" expansion.
  virtual std::optional<std::string> homeDirectoryForUser(const std::string& user) = 0;
  // POSIX kill(pid, 0): 0, or the errno of the probe.
  virtual int signalProbe(long long pid) = 0;
};

// A value of the bundle's information dictionary: only strings are used.
struct InfoValue {
  enum class Kind { kMissing, kString, kOther };
  Kind kind = Kind::kMissing;
  std::string string;
  bool isString() const { return kind == Kind::kString; }
};

class Bundle {
 public:
  virtual ~Bundle() = default;
  // Absolute path of the bundle directory ("…/Quillmark.app").
  virtual std::string bundlePath() = 0;
  virtual std::optional<std::string> bundleIdentifier() = 0;
  virtual InfoValue infoValue(const std::string& key) = 0;
};

}  // namespace ql
