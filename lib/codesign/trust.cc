#include "codesign/trust.h"

namespace qlsign {

size_t TrustStore::addVendorAnchorsPem(std::string_view pem) {
  auto certs = readPemCertificates(pem);
  for (auto& c : certs) {
    addToStore(c.get());
    vendor_.push_back(std::move(c));
  }
  return certs.size();
}

size_t TrustStore::addTrustedAnchorsPem(std::string_view pem) {
  auto certs = readPemCertificates(pem);
  for (auto& c : certs) {
    addToStore(c.get());
    other_.push_back(std::move(c));
  }
  return certs.size();
}

void TrustStore::addVendorAnchor(X509* cert) {
  addToStore(cert);
  vendor_.push_back(dupCert(cert));
}

void TrustStore::addTrustedAnchor(X509* cert) {
  addToStore(cert);
  other_.push_back(dupCert(cert));
}

// Building the store once per set of anchors rather than once per
// signature: a launch checks three signatures against the same anchors.
// A failed addition marks the store unusable for good: verification then
// reports an internal error, as it did when the store was built per call,
// instead of checking against fewer anchors than the caller gave.
//
// OpenSSL decodes a certificate's extensions the first time a verification
// asks and tests whether that was done without a lock; an anchor shared by
// verifications on several threads has them decoded here, while only the
// thread adding it can see it.
void TrustStore::addToStore(X509* cert) {
  (void)X509_check_purpose(cert, -1, 0);
  if (storeFailed_) return;
  if (!store_) store_.reset(X509_STORE_new());
  if (!store_ || X509_STORE_add_cert(store_.get(), cert) != 1) storeFailed_ = true;
}

bool TrustStore::isVendorAnchor(X509* cert) const {
  for (const auto& a : vendor_)
    if (X509_cmp(a.get(), cert) == 0) return true;
  return false;
}

bool TrustStore::isTrustedAnchor(X509* cert) const {
  if (isVendorAnchor(cert)) return true;
  for (const auto& a : other_)
    if (X509_cmp(a.get(), cert) == 0) return true;
  return false;
}

}  // namespace qlsign
