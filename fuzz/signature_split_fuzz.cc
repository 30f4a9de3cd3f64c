// A signature blob comes from a bundle anyone may have edited. The cache
// parses it in pieces (the certificates apart from the rest); that parse
// must accept exactly what a parse of the whole blob accepts, and give the
// same structure.
#include <cstddef>
#include <cstdint>

#include "codesign/cms_split.h"
#include "codesign/signature_cache.h"

namespace {

qlsign::Bytes der(CMS_ContentInfo* cms) {
  unsigned char* p = nullptr;
  int n = i2d_CMS_ContentInfo(cms, &p);
  qlsign::Bytes out(p, p + (n > 0 ? n : 0));
  OPENSSL_free(p);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const qlsign::Bytes blob(data, data + size);
  qlsign::SplitSignature split;
  if (qlsign::splitCertificates(blob, &split)) {
    size_t end = 0;
    for (const auto& [offset, length] : split.certificates) {
      if (offset < end || length == 0 || offset + length > size) __builtin_trap();
      end = offset + length;
    }
    if (split.withoutCertificates.size() >= size) __builtin_trap();
  }
  qlsign::CmsPtr whole = qlsign::parseSignatureBlob(blob);
  qlsign::SignatureCache cache;
  qlsign::CmsPtr pieces = cache.take(blob);
  if (!whole != !pieces) __builtin_trap();
  if (whole && der(whole.get()) != der(pieces.get())) __builtin_trap();
  return 0;
}
