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

// Reads the bundle from the running executable and builds every service.
std::unique_ptr<LinuxPlatform> makeLinuxPlatform(int argc, char** argv);

}  // namespace ql::linux_backend
