// Detached CMS signatures over a code directory.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codesign/identity.h"
#include "codesign/signature_cache.h"
#include "codesign/status.h"
#include "codesign/trust.h"

namespace qlsign {

// Signs `content` (SHA-256, signing time attribute, the leaf and its
// intermediates in the blob). Empty on failure, with `error` set.
Bytes signDetached(std::string_view content, const SigningIdentity& identity, std::string* error);

struct VerifiedSignature {
  std::vector<X509Ptr> chain;  // [0] leaf ... back() the anchor
  time_t signingTime = 0;
};

// How long a signing time may lie in the future of the verifier's clock.
inline constexpr time_t kClockSkewSeconds = 300;

// Verifies the blob over `content` and its chain up to an anchor of `trust`.
// Certificates are checked at the signing time the blob states, which must
// not lie in the future of `now` (the system clock when absent). The blob's
// parse comes from `cache` when given; everything else is done every time.
Outcome verifyDetached(const Bytes& blob, std::string_view content, const TrustStore& trust,
                       std::optional<time_t> now, VerifiedSignature* out, SignatureCache* cache = nullptr);

// The certificate chain of a blob without any trust decision: what a
// designated requirement is derived from after verification succeeded.
bool leafOfBlob(const Bytes& blob, X509Ptr* leaf);
// The same leaf and every certificate the blob carries, from one parse
// (each parse decodes every certificate's key again), through `cache` when given.
bool certificatesOfBlob(const Bytes& blob, X509Ptr* leaf, std::vector<X509Ptr>* all,
                        SignatureCache* cache = nullptr);

}  // namespace qlsign
