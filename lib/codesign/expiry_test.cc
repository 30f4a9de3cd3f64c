// Certificates are judged at the signing time the signature states: code
// signed while its certificate was valid stays valid after the certificate
// expires; code signed with an expired or not-yet-valid certificate, or with
// a signing time in the future, is refused.
#include <gtest/gtest.h>

#include <ctime>

#include "codesign/signer.h"
#include "codesign/test_support.h"
#include "codesign/verifier.h"

namespace qlsign {
namespace {

using testing::TempDir;
using testing::vendorIdentity;
using testing::vendorLeaf;
using testing::writeFile;

constexpr time_t kDay = 86400;

Outcome signAndValidate(const SigningIdentity& id, std::optional<time_t> now) {
  TempDir dir;
  std::string path = dir.path() + "/tool";
  writeFile(path, "payload", 0755);
  Outcome o = signExecutable(path, id, SignOptions{});
  if (!o.ok()) return o;
  ValidateOptions options;
  options.now = now;
  return validateCode(path, kStrictValidate, nullptr, vendorIdentity().trust(), options);
}

TEST(Expiry, CertificateValidityIsJudgedAtTheSigningTime) {
  const time_t now = ::time(nullptr);
  struct Row {
    const char* name;
    time_t notBefore, notAfter;
    std::optional<time_t> verifierNow;
    Code expected;
  } table[] = {
      {"valid leaf, verified now", now - kDay, now + kDay, std::nullopt, kOk},
      {"signed while valid, verified after the leaf expired", now - kDay, now + 3600, now + 400 * kDay, kOk},
      {"leaf already expired when signing", now - 10 * kDay, now - kDay, std::nullopt, kCertificateExpired},
      {"leaf not yet valid when signing", now + kDay, now + 10 * kDay, std::nullopt, kCertificateExpired},
      {"signing time in the verifier's future", now - kDay, now + kDay, now - kDay, kSignatureFailed},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.name);
    LeafOptions leaf;
    leaf.teamIdentifier = "T4K9PV2XQM";
    leaf.notBefore = row.notBefore;
    leaf.notAfter = row.notAfter;
    Outcome o = signAndValidate(vendorLeaf(leaf), row.verifierNow);
    EXPECT_EQ(o.code, row.expected) << codeName(o.code) << ": " << o.detail;
  }
}

TEST(Expiry, AnExpiredIntermediateIsRefusedToo) {
  const time_t now = ::time(nullptr);
  CertificateAuthority ca;
  std::string error;
  AuthorityOptions a;
  a.notBefore = now - 10 * kDay;
  a.notAfter = now - kDay;
  ASSERT_TRUE(makeAuthority(a, &ca, &error)) << error;
  SigningIdentity id;
  LeafOptions leaf;
  leaf.teamIdentifier = "T4K9PV2XQM";
  ASSERT_TRUE(issueLeaf(ca, leaf, &id, &error)) << error;
  TempDir dir;
  std::string path = dir.path() + "/tool";
  writeFile(path, "payload", 0755);
  ASSERT_TRUE(signExecutable(path, id, SignOptions{}).ok());
  TrustStore trust;
  trust.addVendorAnchor(ca.root.get());
  EXPECT_EQ(validateCode(path, 0, nullptr, trust).code, kCertificateExpired);
}

}  // namespace
}  // namespace qlsign
