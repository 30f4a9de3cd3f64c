#include "codesign/cms_split.h"

#include <openssl/asn1.h>
#include <openssl/err.h>

namespace qlsign {

namespace {

// One TLV: where it starts, where its contents start and end.
struct Tlv {
  size_t start = 0, contents = 0, end = 0;
  int tag = 0, cls = 0;
  bool constructed = false;
};

// Reads the TLV at `at` within [at, limit); false on a malformed or
// indefinite-length header or contents running past `limit`.
bool readTlv(const Bytes& blob, size_t at, size_t limit, Tlv* out) {
  if (at >= limit) return false;
  const unsigned char* p = blob.data() + at;
  long length = 0;
  int tag = 0, cls = 0;
  int r = ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(limit - at));
  if (r & 0x80) {
    ERR_clear_error();
    return false;
  }
  if ((r & 0x01) || length < 0) return false;  // indefinite: BER, not split
  out->start = at;
  out->contents = static_cast<size_t>(p - blob.data());
  out->end = out->contents + static_cast<size_t>(length);
  if (out->end > limit) return false;
  out->tag = tag;
  out->cls = cls;
  out->constructed = (r & V_ASN1_CONSTRUCTED) != 0;
  return true;
}

void putHeader(Bytes* out, const Tlv& like, size_t length) {
  int size = ASN1_object_size(1, static_cast<int>(length), like.tag);
  size_t header = static_cast<size_t>(size) - length;
  size_t at = out->size();
  out->resize(at + header);
  unsigned char* p = out->data() + at;
  ASN1_put_object(&p, 1, static_cast<int>(length), like.tag, like.cls);
}

void append(Bytes* out, const Bytes& blob, size_t from, size_t to) {
  out->insert(out->end(), blob.begin() + static_cast<long>(from), blob.begin() + static_cast<long>(to));
}

}  // namespace

bool splitCertificates(const Bytes& blob, SplitSignature* out) {
  // A signature blob is a few kilobytes; the length arithmetic below stays
  // in int, as OpenSSL's encoders take it.
  if (blob.empty() || blob.size() > (1u << 24)) return false;
  Tlv info, type, explicitTag, signedData;
  if (!readTlv(blob, 0, blob.size(), &info) || info.end != blob.size() || !info.constructed ||
      info.cls != V_ASN1_UNIVERSAL || info.tag != V_ASN1_SEQUENCE)
    return false;
  if (!readTlv(blob, info.contents, info.end, &type) ||
      !readTlv(blob, type.end, info.end, &explicitTag) || explicitTag.cls != V_ASN1_CONTEXT_SPECIFIC ||
      explicitTag.tag != 0 || !explicitTag.constructed)
    return false;
  if (!readTlv(blob, explicitTag.contents, explicitTag.end, &signedData) || !signedData.constructed ||
      signedData.cls != V_ASN1_UNIVERSAL || signedData.tag != V_ASN1_SEQUENCE)
    return false;

  // The certificates field is the SignedData's only [0]: the fields before
  // it are universal, the ones after it [1] and a SET.
  Tlv field;
  bool found = false;
  for (size_t at = signedData.contents; at < signedData.end; at = field.end) {
    if (!readTlv(blob, at, signedData.end, &field)) return false;
    if (field.cls == V_ASN1_CONTEXT_SPECIFIC && field.tag == 0) {
      found = true;
      break;
    }
  }
  if (!found || !field.constructed) return false;

  SplitSignature split;
  for (size_t at = field.contents; at < field.end;) {
    Tlv cert;
    if (!readTlv(blob, at, field.end, &cert) || cert.cls != V_ASN1_UNIVERSAL || cert.tag != V_ASN1_SEQUENCE ||
        !cert.constructed)
      return false;
    split.certificates.emplace_back(cert.start, cert.end - cert.start);
    at = cert.end;
  }
  if (split.certificates.empty()) return false;

  // Everything but the field, byte for byte; only the three lengths that
  // enclose it change.
  const size_t removed = field.end - field.start;
  const size_t signedLength = signedData.end - signedData.contents - removed;
  const size_t signedSize = static_cast<size_t>(ASN1_object_size(1, static_cast<int>(signedLength), signedData.tag));
  // The [0] may hold bytes after the SignedData; they are kept, and the
  // parse refuses them as it would have.
  const size_t explicitLength = signedSize + (explicitTag.end - signedData.end) + (signedData.start - explicitTag.contents);
  const size_t explicitSize =
      static_cast<size_t>(ASN1_object_size(1, static_cast<int>(explicitLength), explicitTag.tag));
  const size_t infoLength = (explicitTag.start - info.contents) + explicitSize + (info.end - explicitTag.end);

  Bytes& o = split.withoutCertificates;
  o.reserve(blob.size());
  putHeader(&o, info, infoLength);
  append(&o, blob, info.contents, explicitTag.start);
  putHeader(&o, explicitTag, explicitLength);
  append(&o, blob, explicitTag.contents, signedData.start);
  putHeader(&o, signedData, signedLength);
  append(&o, blob, signedData.contents, field.start);
  append(&o, blob, field.end, signedData.end);
  append(&o, blob, signedData.end, explicitTag.end);
  append(&o, blob, explicitTag.end, info.end);
  *out = std::move(split);
  return true;
}

}  // namespace qlsign
