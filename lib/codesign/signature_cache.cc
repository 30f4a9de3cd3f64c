#include "codesign/signature_cache.h"

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
  return parseSignatureBlob(blob);
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
