// Code signing on Linux: the seam's code objects backed by qlsign. The
// running launcher's code is its bundle (or, outside a bundle, its own
// executable file); trust comes only from the anchors fixed at build time.
#pragma once

#include <functional>
#include <future>
#include <string>

#include "codesign/signature_cache.h"
#include "codesign/trust.h"
#include "platform/code_signing.h"

namespace ql::linux_backend {

class LinuxCodeSigning : public CodeSigning {
 public:
  // `executablePath` names the running program (the default reads
  // /proc/self/exe); tests point it at a bundle of their own.
  explicit LinuxCodeSigning(qlsign::TrustStore trust,
                            std::function<std::string()> executablePath = nullptr);
  // The anchors may still be being parsed (builtInTrustStoreInBackground):
  // the first call that needs them waits for the parse, every later one
  // finds them ready.
  explicit LinuxCodeSigning(std::shared_future<qlsign::TrustStore> trust,
                            std::function<std::string()> executablePath = nullptr);

  OSStatus copySelf(uint32_t flags, CodeRef* out) override;
  OSStatus copyStaticCode(const CodeRef& code, uint32_t flags, StaticCodeRef* out) override;
  OSStatus copyDesignatedRequirement(const StaticCodeRef& code, uint32_t flags, RequirementRef* out) override;
  OSStatus createStaticCodeWithPath(const std::string& path, uint32_t flags, StaticCodeRef* out) override;
  OSStatus createRequirementWithString(const std::string& text, uint32_t flags, RequirementRef* out) override;
  OSStatus checkValidity(const StaticCodeRef& code, uint32_t flags, const RequirementRef& requirement) override;
  OSStatus copySigningInformation(const StaticCodeRef& code, uint32_t flags, SigningInformation* out) override;
  // Frees the heap the checks left and unmaps libcrypto's read-only pages
  // (see code_pages.h).
  void releaseUnusedMemory() override;

 private:
  std::shared_future<qlsign::TrustStore> trust_;
  std::function<std::string()> executablePath_;
  // A launch reads its own signature, the service binary's, then validates
  // the bundle holding both, and seeding checks the service binary again:
  // each blob is parsed once for all of them.
  qlsign::SignatureCache signatures_;
};

// The code a running executable stands for: "<b>" for "<b>/Contents/MacOS/<exe>",
// otherwise the executable itself.
std::string codePathForExecutable(const std::string& executablePath);

// The vendor anchors compiled into this build (QL_VENDOR_ANCHORS).
qlsign::TrustStore builtInTrustStore();

// builtInTrustStore() on a thread of its own, so that the parse (the
// process's first certificate decode, which also sets up OpenSSL's
// providers and decoders: about 2 ms of a launch) overlaps the rest of the
// start-up. Call it once signals are routed, since the thread inherits the
// signal mask. If no thread can be started the parse runs here and the
// result is ready at once.
std::shared_future<qlsign::TrustStore> builtInTrustStoreInBackground();

}  // namespace ql::linux_backend
