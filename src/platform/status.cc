#include "platform/status.h"

#include <cstring>

namespace ql {

Status Status::Posix(int err) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return Status(kPosixDomain, err == 0 ? -1 : err, text);
}

Status Status::Posix(int err, std::string localized) {
  return Status(kPosixDomain, err == 0 ? -1 : err, std::move(localized));
}

Status Status::CodeSign(int32_t status) {
  return Status(kOSStatusDomain, status == 0 ? -67048 : status,
                "The code signature operation failed (status " + std::to_string(status) + ").");
}

Status Status::Error(std::string domain, int64_t code, std::string localized) {
  return Status(std::move(domain), code == 0 ? -1 : code, std::move(localized));
}

std::string Status::fullDescription() const {
  if (ok()) return "success";
  return "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" + localized_ + "\"";
}

}  // namespace ql
