// Parsed signature blobs kept between the calls of one launch. A launch
// reads the same signature more than once (its designated requirement, then
// the validation), and in OpenSSL 3 each parse decodes every certificate's
// public key anew; the parse is the only work saved. Entries are found by
// the exact bytes they were parsed from, never by a path or a time: bytes
// that changed in any way miss and are parsed afresh. Nothing about trust
// is kept: a chain, the anchors and the signature over the content are
// checked on every use.
//
// Certificates are kept the same way, by their exact bytes: the signatures
// of one bundle carry the same leaf and intermediate, and a blob parsed
// afresh through the cache takes them from there instead of decoding them
// once per signature (see cms_split.h).
//
// A parse stays on the thread that made it: its certificates are shared
// with what the callers were handed (chains, signature information), and
// OpenSSL fills in a certificate's decoded extensions lazily and counts its
// references with relaxed atomics, so handing one parse from thread to
// thread would have several threads write and free the same objects. Any
// number of threads may use one cache; each is served its own parses.
#pragma once

#include <cstddef>
#include <list>
#include <mutex>
#include <thread>

#include "codesign/ossl.h"

namespace qlsign {

class SignatureCache {
 public:
  // At most `capacity` parsed blobs and twice as many certificates are kept
  // per thread, the least recently used go first (a launch touches three
  // blobs and two certificates).
  explicit SignatureCache(size_t capacity = 8) : capacity_(capacity) {}
  SignatureCache(const SignatureCache&) = delete;
  SignatureCache& operator=(const SignatureCache&) = delete;

  // The parse of exactly `blob`: one this thread kept, which leaves the
  // cache while it is used (OpenSSL writes into a parsed blob while
  // verifying it), or a fresh parse. Null when the bytes do not parse as
  // one DER structure with nothing after it. A fresh parse has the same
  // content as parseSignatureBlob's; its certificates may be objects this
  // thread's other parses share.
  CmsPtr take(const Bytes& blob);

  // Keeps `cms`, the parse of `blob` that take() handed out on this thread,
  // for this thread's next take of the same bytes. Callers give back only
  // what they used without error.
  void give(const Bytes& blob, CmsPtr cms);

 private:
  struct Entry {
    std::thread::id thread;
    Bytes blob;
    CmsPtr cms;
  };
  struct Certificate {
    std::thread::id thread;
    Bytes der;
    X509Ptr cert;
  };
  CmsPtr parse(const Bytes& blob);
  // This thread's decoded certificate of exactly `der`, or a new decode
  // kept for next time; null when the bytes are not one certificate.
  X509Ptr certificate(const uint8_t* der, size_t size);

  const size_t capacity_;
  std::mutex mutex_;
  std::list<Entry> entries_;  // most recently given first, all threads mixed
  std::list<Certificate> certificates_;  // most recently used first
};

// A parse that goes through `cache` when there is one and parses afresh
// otherwise; hands the parse back to the cache when `keep()` is called.
class CachedParse {
 public:
  CachedParse(const Bytes& blob, SignatureCache* cache);
  ~CachedParse() = default;
  CachedParse(const CachedParse&) = delete;
  CachedParse& operator=(const CachedParse&) = delete;

  CMS_ContentInfo* get() const { return cms_.get(); }
  // The parse was used without error: it may serve the next use.
  void keep();

 private:
  const Bytes& blob_;
  SignatureCache* cache_;
  CmsPtr cms_;
};

// The DER parse of a signature blob; null on a parse error or trailing bytes.
CmsPtr parseSignatureBlob(const Bytes& blob);

}  // namespace qlsign
