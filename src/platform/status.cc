#include "platform/status.h"

#include <cstring>

namespace ql {

namespace {

// glibc's strerror_r returns the text, which may be a static string instead
// of buf; the XSI one (macOS, musl) fills buf and returns 0. One overload per
// return type lets the same call compile against either C library.
[[maybe_unused]] const char* errorText(const char* result, const char*) { return result; }
[[maybe_unused]] const char* errorText(int result, const char* buf) { return result == 0 ? buf : "Unknown error"; }

}  // namespace

Status Status::Posix(int err) {
  char buf[256] = "";
  const char* text = errorText(strerror_r(err, buf, sizeof buf), buf);
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
