// Shared helpers for tests that need real identities and real bundles.
#pragma once

#include <string>

#include "codesign/identity.h"
#include "codesign/trust.h"

namespace qlsign::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void writeFile(const std::string& path, const std::string& content, unsigned mode = 0644);
std::string readFile(const std::string& path);
void makeDirs(const std::string& path);

struct TestIdentity {
  CertificateAuthority ca;
  SigningIdentity signer;
  TrustStore trust() const;  // the root as the one vendor anchor
};

// A Developer-ID-style identity with team "T4K9PV2XQM", made once per process.
const TestIdentity& vendorIdentity();
// Another leaf under the vendor authority.
SigningIdentity vendorLeaf(const LeafOptions& options);
// A fresh authority and leaf that nothing trusts.
TestIdentity foreignIdentity(const std::string& team);

// Writes a bundle with an Info.plist, a main executable, resources, a link,
// a nested helper app and a standalone tool under Contents/Resources/bin.
// Returns its path ("<dir>/<name>").
std::string makeSampleBundle(const std::string& dir, const std::string& name = "Sample.app");

}  // namespace qlsign::testing
