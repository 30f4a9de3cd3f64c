// The certificates a verifier trusts. Vendor anchors are the roots that
// "anchor apple generic" names; other trusted anchors satisfy only
// "anchor trusted". A caller fixes both when it builds the store; nothing is
// read from the environment or the user's files.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "codesign/ossl.h"

namespace qlsign {

class TrustStore {
 public:
  TrustStore() = default;
  TrustStore(TrustStore&&) = default;
  TrustStore& operator=(TrustStore&&) = default;

  // Adds every certificate of a PEM text; returns how many were added.
  size_t addVendorAnchorsPem(std::string_view pem);
  size_t addTrustedAnchorsPem(std::string_view pem);
  void addVendorAnchor(X509* cert);
  void addTrustedAnchor(X509* cert);

  bool empty() const { return vendor_.empty() && other_.empty(); }
  bool isVendorAnchor(X509* cert) const;
  bool isTrustedAnchor(X509* cert) const;  // vendor or other

  // A fresh OpenSSL store holding every anchor, for one verification.
  StorePtr makeStore() const;

 private:
  std::vector<X509Ptr> vendor_, other_;
};

}  // namespace qlsign
