// Errors that cross the platform seam are values, never exceptions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace ql {

// A platform outcome: success, or an error from a named domain with the
// platform's numeric code and its one-sentence text. The domain names follow
// the macOS ones the launcher's messages were written against
// ("NSPOSIXErrorDomain" for errno values, "NSOSStatusErrorDomain" for
// code-signing status codes), so log lines read the same on every platform.
class Status {
 public:
  Status() = default;  // success

  static Status OK() { return Status(); }
  // An errno value; the localized description is strerror's text.
  static Status Posix(int err);
  // An errno value with a caller-supplied description (e.g. "rename: …").
  static Status Posix(int err, std::string localized);
  // A signed 32-bit code-signing status (errSecCS…), never 0.
  static Status CodeSign(int32_t status);
  static Status Error(std::string domain, int64_t code, std::string localized);

  bool ok() const { return code_ == 0; }
  explicit operator bool() const { return ok(); }
  int64_t code() const { return code_; }
  const std::string& domain() const { return domain_; }

  // The platform's one-sentence user-facing text.
  const std::string& localizedDescription() const { return localized_; }
  // The complete textual form: domain, code and user information, as
  // `Error Domain=NSPOSIXErrorDomain Code=13 "Permission denied"`.
  std::string fullDescription() const;

 private:
  Status(std::string domain, int64_t code, std::string localized)
      : domain_(std::move(domain)), code_(code), localized_(std::move(localized)) {}

  std::string domain_;
  int64_t code_ = 0;
  std::string localized_;
};

inline constexpr const char* kPosixDomain = "NSPOSIXErrorDomain";
inline constexpr const char* kOSStatusDomain = "NSOSStatusErrorDomain";

// A value or the status that explains why there is none.
template <typename T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
  Result(Status status) : status_(std::move(status)) {}  // NOLINT
  bool ok() const { return value_.has_value(); }
  const Status& status() const { return status_; }
  T& value() { return *value_; }
  const T& value() const { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }

 private:
  Status status_;
  std::optional<T> value_;
};

}  // namespace ql
