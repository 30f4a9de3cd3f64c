// Takes the certificates out of a DER CMS signed-data blob, so that a
// certificate carried by several signatures is decoded once. In OpenSSL 3.0
// every certificate parse decodes its public key through the provider
// decoders, about a quarter of a millisecond each, and the signatures of one
// bundle all carry the same leaf and intermediate.
//
// The split only cuts the bytes apart: what is left is the same blob without
// its certificates field (the three enclosing lengths re-encoded), and the
// certificates are the exact bytes of each element of that field. Nothing
// signed lies in that field, and a parse of the rest plus the certificates
// added back gives the structure the whole blob parses to.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "codesign/ossl.h"

namespace qlsign {

struct SplitSignature {
  Bytes withoutCertificates;
  // Offset and length in the original blob of each certificate, in order.
  std::vector<std::pair<size_t, size_t>> certificates;
};

// Splits `blob` when it is laid out as a ContentInfo whose content is a
// SignedData with a certificates field of plain certificates, every length
// definite and the outer structure ending exactly at the end of the blob.
// False for anything else (no certificates, indefinite lengths, attribute or
// other certificate choices, a malformed header): the caller parses the blob
// whole, and that parse decides.
bool splitCertificates(const Bytes& blob, SplitSignature* out);

}  // namespace qlsign
