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

  // The OpenSSL store holding every anchor, or null when there is none or
  // one could not be added. It is built as anchors are added and shared by
  // every verification: verifications only read it (their time and purpose
  // go on their own context), so threads may use it at once. Adding anchors
  // while a verification runs is not allowed.
  X509_STORE* store() const { return storeFailed_ ? nullptr : store_.get(); }

 private:
  void addToStore(X509* cert);

  std::vector<X509Ptr> vendor_, other_;
  StorePtr store_;
  bool storeFailed_ = false;
};

}  // namespace qlsign
