#include "codesign/trust.h"

namespace qlsign {

size_t TrustStore::addVendorAnchorsPem(std::string_view pem) {
  auto certs = readPemCertificates(pem);
  for (auto& c : certs) vendor_.push_back(std::move(c));
  return certs.size();
}

size_t TrustStore::addTrustedAnchorsPem(std::string_view pem) {
  auto certs = readPemCertificates(pem);
  for (auto& c : certs) other_.push_back(std::move(c));
  return certs.size();
}

void TrustStore::addVendorAnchor(X509* cert) { vendor_.push_back(dupCert(cert)); }
void TrustStore::addTrustedAnchor(X509* cert) { other_.push_back(dupCert(cert)); }

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

StorePtr TrustStore::makeStore() const {
  StorePtr store(X509_STORE_new());
  if (!store) return nullptr;
  for (const auto* list : {&vendor_, &other_})
    for (const auto& a : *list)
      if (X509_STORE_add_cert(store.get(), a.get()) != 1) return nullptr;
  return store;
}

}  // namespace qlsign
