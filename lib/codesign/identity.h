// Signing identities: a root, a Developer-ID-style intermediate and a leaf,
// as generated for development and tests, and the part a signer needs.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "codesign/ossl.h"
#include "codesign/status.h"

namespace qlsign {

// Marker extensions of the Developer ID scheme: the intermediate carries the
// certification-authority marker, the leaf the application marker. They are
// always written non-critical, so verifiers that do not know them still
// accept the chain.
inline constexpr const char* kDeveloperIdCaOid = "1.2.840.113635.100.6.2.6";
inline constexpr const char* kDeveloperIdApplicationOid = "1.2.840.113635.100.6.1.13";

struct CertificateAuthority {
  X509Ptr root;
  PkeyPtr rootKey;
  X509Ptr intermediate;
  PkeyPtr intermediateKey;
};

struct SigningIdentity {
  X509Ptr leaf;
  PkeyPtr key;
  std::vector<X509Ptr> chain;  // intermediates, leaf side first; no root
};

struct AuthorityOptions {
  std::string organization = "qlsign Development";
  time_t notBefore = 0;  // 0: an hour before now
  time_t notAfter = 0;   // 0: ten years after now
  bool developerIdMarker = true;
};

struct LeafOptions {
  std::string teamIdentifier;  // written as the subject's OU; empty: no OU
  std::string commonName;      // empty: "Developer ID Application: <org> (<team>)"
  std::string organization = "qlsign Development";
  time_t notBefore = 0;        // 0: an hour before now
  time_t notAfter = 0;         // 0: five years after now
  bool developerIdMarker = true;
  bool codeSigningUsage = true;  // extended key usage codeSigning
};

// New EC P-256 keys each time.
bool makeAuthority(const AuthorityOptions& options, CertificateAuthority* out, std::string* error);
bool issueLeaf(const CertificateAuthority& ca, const LeafOptions& options, SigningIdentity* out,
               std::string* error);

// A development identity on disk: root.pem (the anchor to trust), root.key,
// intermediate.pem, intermediate.key, leaf.pem, leaf.key. Keys are 0600.
bool writeIdentityDirectory(const std::string& dir, const CertificateAuthority& ca,
                            const SigningIdentity& leaf, std::string* error);
// Reads leaf.pem, leaf.key and intermediate.pem (or chain.pem) from `dir`.
bool loadSigningIdentity(const std::string& dir, SigningIdentity* out, std::string* error);
// Reads a certificate file, a key file and optional chain file.
bool loadSigningIdentity(const std::string& certPath, const std::string& keyPath,
                         const std::string& chainPath, SigningIdentity* out, std::string* error);

// Certificate queries shared by the verifier and the requirement evaluator.
bool hasExtension(X509* cert, const std::string& oid);
// Every value of the subject entry with short name `field` ("OU", "CN", "O",
// "C", "L", "ST"); empty when there is none or the name is unknown.
std::vector<std::string> subjectValues(X509* cert, const std::string& field);

}  // namespace qlsign
