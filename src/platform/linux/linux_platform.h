// Assembles the real Linux backend.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace ql::linux_backend {

class LinuxPlatform {
 public:
  virtual ~LinuxPlatform() = default;
  virtual Platform& platform() = 0;
};

// The system Applications folder this launcher was built for: the same fact
// the install offer uses, for the parts of the backend (the desktop entry)
// that must agree with it.
const char* buildSystemApplicationsFolder();

// Reads the bundle from the running executable and builds every service.
std::unique_ptr<LinuxPlatform> makeLinuxPlatform(int argc, char** argv);

}  // namespace ql::linux_backend
