#include "codesign/signature_cache.h"

#include <openssl/err.h>

#include <algorithm>

#include "codesign/cms_split.h"

namespace qlsign {

CmsPtr parseSignatureBlob(const Bytes& blob) {
  const unsigned char* p = blob.data();
  CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(blob.size())));
  // Trailing bytes after the DER structure mean the blob is not what was signed.
  if (cms && p != blob.data() + blob.size()) cms.reset();
  return cms;
}

CmsPtr SignatureCache::take(const Bytes& blob) {
  const std::thread::id self = std::this_thread::get_id();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->thread == self && it->blob == blob) {
        CmsPtr cms = std::move(it->cms);
        entries_.erase(it);
        return cms;
      }
    }
  }
  return parse(blob);
}

CmsPtr SignatureCache::parse(const Bytes& blob) {
  SplitSignature split;
  if (!splitCertificates(blob, &split)) return parseSignatureBlob(blob);
  CmsPtr cms = parseSignatureBlob(split.withoutCertificates);
  bool whole = cms != nullptr;
  for (size_t i = 0; whole && i < split.certificates.size(); ++i) {
    const auto& [offset, size] = split.certificates[i];
    X509Ptr cert = certificate(blob.data() + offset, size);
    // CMS_add1_cert also refuses a certificate the blob carries twice.
    whole = cert && CMS_add1_cert(cms.get(), cert.get()) == 1;
  }
  if (whole) return cms;
  // Whatever the split could not rebuild, the parse of the whole blob judges.
  ERR_clear_error();
  return parseSignatureBlob(blob);
}

X509Ptr SignatureCache::certificate(const uint8_t* der, size_t size) {
  const std::thread::id self = std::this_thread::get_id();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = certificates_.begin(); it != certificates_.end(); ++it) {
      if (it->thread == self && it->der.size() == size && std::equal(it->der.begin(), it->der.end(), der)) {
        certificates_.splice(certificates_.begin(), certificates_, it);
        return dupCert(it->cert.get());
      }
    }
  }
  const unsigned char* p = der;
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(size)));
  if (!cert || p != der + size) return nullptr;
  if (capacity_ == 0) return cert;
  std::list<Certificate> dropped;
  std::lock_guard<std::mutex> lock(mutex_);
  certificates_.push_front(Certificate{self, Bytes(der, der + size), dupCert(cert.get())});
  size_t mine = 0;
  for (auto it = std::next(certificates_.begin()); it != certificates_.end();) {
    auto next = std::next(it);
    if (it->thread == self && ++mine >= 2 * capacity_) dropped.splice(dropped.end(), certificates_, it);
    it = next;
  }
  return cert;
}

void SignatureCache::give(const Bytes& blob, CmsPtr cms) {
  if (!cms || capacity_ == 0) return;
  const std::thread::id self = std::this_thread::get_id();
  // Whatever this thread lets go of is freed on this thread, outside the lock.
  std::list<Entry> dropped;
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_front(Entry{self, blob, std::move(cms)});
  size_t mine = 0;
  for (auto it = std::next(entries_.begin()); it != entries_.end();) {
    auto next = std::next(it);
    if (it->thread == self && (it->blob == blob || ++mine >= capacity_))
      dropped.splice(dropped.end(), entries_, it);
    it = next;
  }
}

CachedParse::CachedParse(const Bytes& blob, SignatureCache* cache)
    : blob_(blob), cache_(cache), cms_(cache ? cache->take(blob) : parseSignatureBlob(blob)) {}

void CachedParse::keep() {
  if (cache_ && cms_) cache_->give(blob_, std::move(cms_));
}

}  // namespace qlsign
