// Other running applications, and the workspace's open request.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/status.h"

namespace ql {

struct RunningApplication {
  int processIdentifier = 0;
  std::optional<std::string> bundlePath;  // the application's bundle, if known
  // Two entries are the same application when they name the same process.
  bool operator==(const RunningApplication& o) const { return processIdentifier == o.processIdentifier; }
};

class Workspace {
 public:
  virtual ~Workspace() = default;
  virtual std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(
      const std::string& bundleIdentifier) = 0;
  virtual RunningApplication currentApplication() = 0;
  virtual std::optional<RunningApplication> runningApplicationWithProcessIdentifier(int pid) = 0;
  // Brings that application to the front, ignoring other applications.
  virtual bool activate(const RunningApplication& app) = 0;
  // Opens the application bundle at `bundlePath`; `newInstance` asks for a
  // new instance even when one runs. `completion` runs once, on a thread of
  // the platform's choosing, with success or the reason it could not open.
  virtual void openApplication(const std::string& bundlePath, bool newInstance,
                               std::function<void(Status)> completion) = 0;
};

}  // namespace ql
