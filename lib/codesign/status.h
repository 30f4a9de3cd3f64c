// Outcome codes of qlsign. They are negative 32-bit values in the style of
// the errSecCS… family, so a caller can print them in the same way; 0 is
// success. Each failure class has its own code so that a log line alone says
// what went wrong.
#pragma once

#include <cstdint>
#include <string>

namespace qlsign {

using Code = int32_t;

inline constexpr Code kOk = 0;
inline constexpr Code kInvalidFlags = -67070;      // a flag bit this library does not know
inline constexpr Code kNotFound = -67068;          // nothing at the path
inline constexpr Code kUnsigned = -67062;          // no signature at all
inline constexpr Code kSignatureFailed = -67061;   // CMS, code directory or main code does not match
inline constexpr Code kUntrusted = -67060;         // chain does not reach an anchor, or wrong key usage
inline constexpr Code kCertificateExpired = -67059;  // a certificate was not valid at the signing time
inline constexpr Code kResourceMissing = -67057;   // a sealed entry is gone
inline constexpr Code kResourceAdded = -67056;     // an unsealed entry is present (strict)
inline constexpr Code kResourceModified = -67054;  // a sealed entry differs (contents, type, mode, link)
inline constexpr Code kRequirementInvalid = -67052;  // requirement text does not parse
inline constexpr Code kRequirementFailed = -67050;   // the code does not satisfy the requirement
inline constexpr Code kMalformed = -67049;         // signature data present but not well formed
inline constexpr Code kInternal = -67048;          // I/O or library failure
inline constexpr Code kNestedInvalid = -67021;     // nested code fails or differs from its record

// Validation flags (same values as the platform's).
inline constexpr uint32_t kCheckNestedCode = 8;
inline constexpr uint32_t kStrictValidate = 16;

// A short English name for a code, for tools and logs ("resource modified").
const char* codeName(Code code);

// A code with an explanation for humans; `detail` never decides anything.
struct Outcome {
  Code code = kOk;
  std::string detail;
  bool ok() const { return code == kOk; }
  static Outcome success() { return {}; }
  static Outcome failure(Code c, std::string d) { return {c, std::move(d)}; }
};

}  // namespace qlsign
