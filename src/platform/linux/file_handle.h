// File handles over POSIX descriptors.
#pragma once

#include "platform/file_manager.h"

namespace ql::linux_backend {

// Owns `fd` and closes it on destruction (unless it is a standard stream).
class FdFileHandle : public FileHandle {
 public:
  FdFileHandle(int fd, bool owned) : fd_(fd), owned_(owned) {}
  ~FdFileHandle() override;
  FdFileHandle(const FdFileHandle&) = delete;
  FdFileHandle& operator=(const FdFileHandle&) = delete;
  Status write(std::string_view bytes) override;
  int descriptor() const override { return fd_; }

 private:
  int fd_;
  bool owned_;
};

}  // namespace ql::linux_backend
