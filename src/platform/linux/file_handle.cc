#include "platform/linux/file_handle.h"

#include <cerrno>
#include <unistd.h>

namespace ql::linux_backend {

FdFileHandle::~FdFileHandle() {
  if (owned_ && fd_ >= 0) ::close(fd_);
}

Status FdFileHandle::write(std::string_view bytes) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd_, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::Posix(errno);
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return Status::OK();
}

}  // namespace ql::linux_backend
