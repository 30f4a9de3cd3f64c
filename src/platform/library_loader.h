// Run-time library lookup (dlopen/dlsym/dlclose).
#pragma once

#include <memory>
#include <string>

namespace ql {

inline constexpr int kRtldLazy = 1;

class DynamicLibrary {
 public:
  // Closing the library (dlclose) happens here.
  virtual ~DynamicLibrary() = default;
  virtual void* symbol(const std::string& name) = 0;
};

class LibraryLoader {
 public:
  virtual ~LibraryLoader() = default;
  // nullptr when the library cannot be opened.
  virtual std::unique_ptr<DynamicLibrary> open(const std::string& path, int mode) = 0;
};

}  // namespace ql
