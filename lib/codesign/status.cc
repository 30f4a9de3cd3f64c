#include "codesign/status.h"

namespace qlsign {

const char* codeName(Code code) {
  switch (code) {
    case kOk: return "valid";
    case kInvalidFlags: return "invalid flags";
    case kNotFound: return "code not found";
    case kUnsigned: return "code object is not signed at all";
    case kSignatureFailed: return "signature invalid";
    case kUntrusted: return "signature not trusted";
    case kCertificateExpired: return "certificate expired at signing time";
    case kResourceMissing: return "sealed resource missing";
    case kResourceAdded: return "unsealed resource added";
    case kResourceModified: return "sealed resource modified";
    case kRequirementInvalid: return "requirement syntax error";
    case kRequirementFailed: return "requirement not satisfied";
    case kMalformed: return "signature data malformed";
    case kInternal: return "internal error";
    case kNestedInvalid: return "nested code invalid";
  }
  return "unknown status";
}

}  // namespace qlsign
