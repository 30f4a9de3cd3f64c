// Validation of signed code: a bundle directory sealed with
// Contents/_CodeSignature, or a standalone executable with an appended
// signature.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "codesign/ossl.h"
#include "codesign/requirement.h"
#include "codesign/status.h"
#include "codesign/trust.h"

namespace qlsign {

class SignatureCache;
class WorkerPool;

struct ValidateOptions {
  // The verifier's clock; the system clock when absent. Only the check that
  // a signing time does not lie in the future uses it.
  std::optional<time_t> now;
  // Hashes sealed contents while the bundle is still being walked; one call
  // at a time may use a pool. Null: a pool for this call.
  WorkerPool* pool = nullptr;
  // Where parsed signature blobs are kept between calls; null: each blob is
  // parsed for this call only.
  SignatureCache* signatures = nullptr;
};

// Verifies the signature, its chain up to an anchor of `trust`, every sealed
// entry, and `requirement` when given. Flags: kStrictValidate (nothing
// unsealed, no link out of the bundle, exact signature folder) and
// kCheckNestedCode (nested code validated in full; without it only the
// recorded cdhash of each nested code is compared).
Outcome validateCode(const std::string& path, uint32_t flags, const Requirement* requirement,
                     const TrustStore& trust, const ValidateOptions& options = {});

// What a signature says about itself, read without any trust decision.
struct SignatureInfo {
  bool bundle = false;
  std::string identifier;
  std::string teamIdentifier;
  Bytes cdhash;
  std::vector<X509Ptr> certificates;  // leaf first, then its issuers as found in the blob
};
// `cache` as in ValidateOptions::signatures.
Outcome readSignature(const std::string& path, SignatureInfo* out, SignatureCache* cache = nullptr);

// The designated requirement of the code at `path`, derived from its
// signature (see deriveDesignatedRequirement).
Outcome designatedRequirement(const std::string& path, Requirement* out, SignatureCache* cache = nullptr);

// Developer ID form when the leaf carries the application marker and its
// issuer the certification-authority marker:
//   identifier "I" and anchor apple generic and certificate 1[field.<ca marker>]
//   exists and certificate leaf[field.<app marker>] exists and
//   certificate leaf[subject.OU] = "TEAM"
// otherwise:
//   identifier "I" and anchor trusted and certificate leaf[subject.CN] = "CN"
//   [and certificate leaf[subject.OU] = "TEAM"]
std::string deriveDesignatedRequirement(const std::string& identifier, X509* leaf, X509* issuer);

// The team identifier a leaf stands for: its first subject OU, or "".
std::string teamOf(X509* leaf);

}  // namespace qlsign
