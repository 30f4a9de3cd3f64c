// Code-signing services: code objects, requirements and validity checks.
// Status codes are signed 32-bit values in the style of the platform's
// errSecCS… codes; 0 is success. Objects are reference-counted and released
// when the last holder drops them, on every path.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ql {

using OSStatus = int32_t;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecCSUnimplemented = -67072;
inline constexpr OSStatus errSecCSInvalidObjectRef = -67071;
inline constexpr OSStatus errSecCSUnsigned = -67062;
inline constexpr OSStatus errSecCSSignatureFailed = -67061;
inline constexpr OSStatus errSecCSReqFailed = -67050;
inline constexpr OSStatus errSecCSBadResource = -67054;
inline constexpr OSStatus errSecCSResourcesNotSealed = -67056;
inline constexpr OSStatus errSecCSResourceNotSupported = -67016;
inline constexpr OSStatus errSecCSInternalError = -67048;
inline constexpr OSStatus errSecCSBadNestedCode = -67021;
inline constexpr OSStatus errSecCSReqInvalid = -67052;
inline constexpr OSStatus errSecCSStaticCodeNotFound = -67068;
inline constexpr OSStatus errSecCSSignatureInvalid = -67061;

inline constexpr uint32_t kSecCSDefaultFlags = 0;
inline constexpr uint32_t kSecCSCheckNestedCode = 8;
inline constexpr uint32_t kSecCSStrictValidate = 16;

// Opaque handles; a backend derives its own types from these.
class Code {
 public:
  virtual ~Code() = default;
};
class StaticCode {
 public:
  virtual ~StaticCode() = default;
};
class Requirement {
 public:
  virtual ~Requirement() = default;
};

using CodeRef = std::shared_ptr<const Code>;
using StaticCodeRef = std::shared_ptr<const StaticCode>;
using RequirementRef = std::shared_ptr<const Requirement>;

// The default information set of a signature.
struct SigningInformation {
  std::optional<std::vector<uint8_t>> unique;  // the cdhash
  std::string identifier;
  std::string teamIdentifier;
};

class CodeSigning {
 public:
  virtual ~CodeSigning() = default;
  virtual OSStatus copySelf(uint32_t flags, CodeRef* out) = 0;
  virtual OSStatus copyStaticCode(const CodeRef& code, uint32_t flags, StaticCodeRef* out) = 0;
  virtual OSStatus copyDesignatedRequirement(const StaticCodeRef& code, uint32_t flags,
                                             RequirementRef* out) = 0;
  virtual OSStatus createStaticCodeWithPath(const std::string& path, uint32_t flags,
                                            StaticCodeRef* out) = 0;
  virtual OSStatus createRequirementWithString(const std::string& text, uint32_t flags,
                                               RequirementRef* out) = 0;
  // `requirement` may be null: then only the signature itself is checked.
  virtual OSStatus checkValidity(const StaticCodeRef& code, uint32_t flags,
                                 const RequirementRef& requirement) = 0;
  virtual OSStatus copySigningInformation(const StaticCodeRef& code, uint32_t flags,
                                          SigningInformation* out) = 0;
  // The checks of this stretch are over: give back what they keep (caches,
  // freed buffers, mapped code of the libraries only they run). A later
  // check still works; it may take longer by what it brings back.
  virtual void releaseUnusedMemory() {}
};

}  // namespace ql
