#include "platform/linux/linux_code_signing.h"

#include <malloc.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <system_error>

#include "codesign/requirement.h"
#include "codesign/verifier.h"
#include "platform/linux/code_pages.h"
#include "platform/linux/linux_basics.h"

namespace ql::linux_backend {

extern const char kVendorAnchorsPem[];  // generated from QL_VENDOR_ANCHORS

namespace {

class PathCode : public Code {
 public:
  explicit PathCode(std::string p) : path(std::move(p)) {}
  std::string path;
};

class PathStaticCode : public StaticCode {
 public:
  explicit PathStaticCode(std::string p) : path(std::move(p)) {}
  std::string path;
};

class ParsedRequirement : public Requirement {
 public:
  explicit ParsedRequirement(qlsign::Requirement r) : requirement(std::move(r)) {}
  qlsign::Requirement requirement;
};

// Only the two validation flags are meaningful; the other calls take none.
constexpr uint32_t kValidityFlags = kSecCSCheckNestedCode | kSecCSStrictValidate;
constexpr OSStatus errSecCSInvalidFlags = -67070;

const PathStaticCode* asStatic(const StaticCodeRef& code) { return dynamic_cast<const PathStaticCode*>(code.get()); }

}  // namespace

std::string codePathForExecutable(const std::string& exe) {
  std::string bundle = bundlePathForExecutable(exe);
  size_t slash = exe.rfind('/');
  std::string name = slash == std::string::npos ? exe : exe.substr(slash + 1);
  return exe == bundle + "/Contents/MacOS/" + name ? bundle : exe;
}

qlsign::TrustStore builtInTrustStore() {
  qlsign::TrustStore trust;
  trust.addVendorAnchorsPem(kVendorAnchorsPem);
  return trust;
}

namespace {
std::shared_future<qlsign::TrustStore> readyTrust(qlsign::TrustStore trust) {
  std::promise<qlsign::TrustStore> ready;
  ready.set_value(std::move(trust));
  return ready.get_future().share();
}
}  // namespace

std::shared_future<qlsign::TrustStore> builtInTrustStoreInBackground() {
  try {
    return std::async(std::launch::async, builtInTrustStore).share();
  } catch (const std::system_error&) {
    return readyTrust(builtInTrustStore());
  }
}

LinuxCodeSigning::LinuxCodeSigning(qlsign::TrustStore trust, std::function<std::string()> executablePath)
    : LinuxCodeSigning(readyTrust(std::move(trust)), std::move(executablePath)) {}

LinuxCodeSigning::LinuxCodeSigning(std::shared_future<qlsign::TrustStore> trust,
                                   std::function<std::string()> executablePath)
    : trust_(std::move(trust)), executablePath_(std::move(executablePath)) {
  if (!executablePath_) executablePath_ = currentExecutablePath;
}

OSStatus LinuxCodeSigning::copySelf(uint32_t flags, CodeRef* out) {
  if (flags != 0) return errSecCSInvalidFlags;
  std::string exe = executablePath_();
  if (exe.empty()) return errSecCSInternalError;
  *out = std::make_shared<PathCode>(codePathForExecutable(exe));
  return errSecSuccess;
}

OSStatus LinuxCodeSigning::copyStaticCode(const CodeRef& code, uint32_t flags, StaticCodeRef* out) {
  if (flags != 0) return errSecCSInvalidFlags;
  auto* c = dynamic_cast<const PathCode*>(code.get());
  if (!c) return errSecCSInvalidObjectRef;
  return createStaticCodeWithPath(c->path, 0, out);
}

OSStatus LinuxCodeSigning::copyDesignatedRequirement(const StaticCodeRef& code, uint32_t flags,
                                                     RequirementRef* out) {
  if (flags != 0) return errSecCSInvalidFlags;
  const PathStaticCode* c = asStatic(code);
  if (!c) return errSecCSInvalidObjectRef;
  qlsign::Requirement r;
  qlsign::Outcome o = qlsign::designatedRequirement(c->path, &r, &signatures_);
  if (!o.ok()) return o.code;
  *out = std::make_shared<ParsedRequirement>(std::move(r));
  return errSecSuccess;
}

OSStatus LinuxCodeSigning::createStaticCodeWithPath(const std::string& path, uint32_t flags, StaticCodeRef* out) {
  if (flags != 0) return errSecCSInvalidFlags;
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return errSecCSStaticCodeNotFound;
  *out = std::make_shared<PathStaticCode>(path);
  return errSecSuccess;
}

OSStatus LinuxCodeSigning::createRequirementWithString(const std::string& text, uint32_t flags,
                                                       RequirementRef* out) {
  if (flags != 0) return errSecCSInvalidFlags;
  qlsign::Requirement r;
  std::string error;
  if (!qlsign::Requirement::parse(text, &r, &error)) return errSecCSReqInvalid;
  *out = std::make_shared<ParsedRequirement>(std::move(r));
  return errSecSuccess;
}

OSStatus LinuxCodeSigning::checkValidity(const StaticCodeRef& code, uint32_t flags,
                                         const RequirementRef& requirement) {
  if (flags & ~kValidityFlags) return errSecCSInvalidFlags;
  const PathStaticCode* c = asStatic(code);
  if (!c) return errSecCSInvalidObjectRef;
  const qlsign::Requirement* req = nullptr;
  if (requirement) {
    auto* r = dynamic_cast<const ParsedRequirement*>(requirement.get());
    if (!r) return errSecCSInvalidObjectRef;
    req = &r->requirement;
  }
  qlsign::ValidateOptions options;
  options.signatures = &signatures_;
  OSStatus status = qlsign::validateCode(c->path, flags, req, trust_.get(), options).code;
  // Validating a large bundle leaves megabytes of freed buffers in the
  // worker threads' malloc arenas; the launcher then stays resident for the
  // product's whole life, so hand them back to the system now.
  ::malloc_trim(0);
  return status;
}

OSStatus LinuxCodeSigning::copySigningInformation(const StaticCodeRef& code, uint32_t flags,
                                                  SigningInformation* out) {
  if (flags != 0) return errSecCSInvalidFlags;
  const PathStaticCode* c = asStatic(code);
  if (!c) return errSecCSInvalidObjectRef;
  qlsign::SignatureInfo info;
  qlsign::Outcome o = qlsign::readSignature(c->path, &info, &signatures_);
  if (!o.ok()) return o.code;
  SigningInformation result;
  result.unique = info.cdhash;
  result.identifier = info.identifier;
  result.teamIdentifier = info.teamIdentifier;
  *out = std::move(result);
  return errSecSuccess;
}

void LinuxCodeSigning::releaseUnusedMemory() {
  ::malloc_trim(0);
  // EVP_sha256 returns a table inside libcrypto itself (unlike the address
  // of a function, which may be a stub in the caller), so it names the
  // library whatever the linking.
  Result<size_t> released = releaseReadOnlyPagesOf(EVP_sha256());
  (void)released;  // a failure leaves the pages mapped, which is all it costs
}

}  // namespace ql::linux_backend
