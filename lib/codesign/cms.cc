#include "codesign/cms.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

namespace qlsign {

namespace {

bool signingTimeOf(CMS_SignerInfo* si, time_t* out) {
  int idx = CMS_signed_get_attr_by_NID(si, NID_pkcs9_signingTime, -1);
  if (idx < 0) return false;
  X509_ATTRIBUTE* attr = CMS_signed_get_attr(si, idx);
  if (X509_ATTRIBUTE_count(attr) != 1) return false;
  ASN1_TYPE* type = X509_ATTRIBUTE_get0_type(attr, 0);
  if (!type || (type->type != V_ASN1_UTCTIME && type->type != V_ASN1_GENERALIZEDTIME)) return false;
  struct tm tm {};
  if (ASN1_TIME_to_tm(reinterpret_cast<const ASN1_TIME*>(type->value.asn1_string), &tm) != 1) return false;
  *out = timegm(&tm);
  return true;
}

}  // namespace

Bytes signDetached(std::string_view content, const SigningIdentity& id, std::string* error) {
  CertStackPtr extra(sk_X509_new_null());
  for (const auto& c : id.chain) sk_X509_push(extra.get(), dupCert(c.get()).release());
  // CMS_BINARY: the code directory is bytes, not text; without it OpenSSL
  // rewrites line ends and the signature no longer matches the file.
  const unsigned flags = CMS_BINARY | CMS_DETACHED | CMS_PARTIAL;
  CmsPtr cms(CMS_sign(nullptr, nullptr, extra.get(), nullptr, flags));
  BioPtr data(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  Bytes out;
  if (cms && data && CMS_add1_signer(cms.get(), id.leaf.get(), id.key.get(), EVP_sha256(), flags) &&
      CMS_final(cms.get(), data.get(), nullptr, flags) == 1) {
    unsigned char* der = nullptr;
    int n = i2d_CMS_ContentInfo(cms.get(), &der);
    if (n > 0) out.assign(der, der + n);
    OPENSSL_free(der);
  }
  if (out.empty()) *error = "CMS signing failed: " + drainOpensslErrors();
  return out;
}

bool certificatesOfBlob(const Bytes& blob, X509Ptr* leaf, std::vector<X509Ptr>* all, SignatureCache* cache) {
  CachedParse parse(blob, cache);
  CMS_ContentInfo* cms = parse.get();
  if (!cms || CMS_set1_signers_certs(cms, nullptr, 0) < 0) {
    ERR_clear_error();
    return false;
  }
  STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms);
  if (!infos || sk_CMS_SignerInfo_num(infos) != 1) return false;
  X509* signer = nullptr;
  CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(infos, 0), nullptr, &signer, nullptr, nullptr);
  if (!signer) return false;
  *leaf = dupCert(signer);
  if (all) {
    all->clear();
    CertStackPtr certs(CMS_get1_certs(cms));
    for (int i = 0; certs && i < sk_X509_num(certs.get()); ++i) all->push_back(dupCert(sk_X509_value(certs.get(), i)));
  }
  parse.keep();
  return true;
}

bool leafOfBlob(const Bytes& blob, X509Ptr* leaf) { return certificatesOfBlob(blob, leaf, nullptr); }

Outcome verifyDetached(const Bytes& blob, std::string_view content, const TrustStore& trust,
                       std::optional<time_t> now, VerifiedSignature* out, SignatureCache* cache) {
  ERR_clear_error();
  CachedParse parse(blob, cache);
  CMS_ContentInfo* cms = parse.get();
  if (!cms || OBJ_obj2nid(CMS_get0_type(cms)) != NID_pkcs7_signed || CMS_is_detached(cms) != 1)
    return Outcome::failure(kMalformed, "not a detached CMS signed-data blob");
  STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms);
  if (!infos || sk_CMS_SignerInfo_num(infos) != 1)
    return Outcome::failure(kMalformed, "a signature must have exactly one signer");
  CMS_SignerInfo* si = sk_CMS_SignerInfo_value(infos, 0);
  // Matches the blob's certificates to the signer; the trusted store is not
  // searched for the signer's certificate.
  if (CMS_set1_signers_certs(cms, nullptr, 0) < 0) {
    ERR_clear_error();
    return Outcome::failure(kSignatureFailed, "the signer's certificate is not in the signature");
  }
  X509* signer = nullptr;
  X509_ALGOR* digestAlg = nullptr;
  CMS_SignerInfo_get0_algs(si, nullptr, &signer, &digestAlg, nullptr);
  if (!signer) return Outcome::failure(kSignatureFailed, "the signer's certificate is not in the signature");
  if (!digestAlg || OBJ_obj2nid(digestAlg->algorithm) != NID_sha256)
    return Outcome::failure(kSignatureFailed, "the signature does not use SHA-256");

  time_t signingTime = 0;
  if (!signingTimeOf(si, &signingTime)) return Outcome::failure(kMalformed, "the signature carries no signing time");
  time_t current = now ? *now : ::time(nullptr);
  if (signingTime > current + kClockSkewSeconds)
    return Outcome::failure(kSignatureFailed, "the signing time lies in the future");

  X509_STORE* store = trust.store();
  if (!store) return Outcome::failure(kInternal, "cannot build the trust store");

  // Build the chain ourselves: CMS_verify does not hand it back, and its error
  // tells expiry apart from an unknown root.
  CertStackPtr untrusted(CMS_get1_certs(cms));
  StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (!ctx || X509_STORE_CTX_init(ctx.get(), store, signer, untrusted.get()) != 1)
    return Outcome::failure(kInternal, "cannot set up chain verification");
  // On this verification's own parameters: the store is shared by every
  // verification against these anchors. The S/MIME purpose CMS_verify would
  // apply refuses a code-signing-only leaf; the code-signing usage is
  // checked below instead.
  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx.get());
  X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_ANY);
  X509_VERIFY_PARAM_set_time(param, signingTime);
  if (X509_verify_cert(ctx.get()) != 1) {
    int err = X509_STORE_CTX_get_error(ctx.get());
    std::string why = X509_verify_cert_error_string(err);
    ERR_clear_error();
    if (err == X509_V_ERR_CERT_HAS_EXPIRED || err == X509_V_ERR_CERT_NOT_YET_VALID)
      return Outcome::failure(kCertificateExpired, why + " at the signing time");
    return Outcome::failure(kUntrusted, why);
  }
  VerifiedSignature result;
  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
  for (int i = 0; i < sk_X509_num(chain); ++i) result.chain.push_back(dupCert(sk_X509_value(chain, i)));
  result.signingTime = signingTime;

  X509* leaf = result.chain.front().get();
  if (!(X509_get_extension_flags(leaf) & EXFLAG_XKUSAGE) || !(X509_get_extended_key_usage(leaf) & XKU_CODE_SIGN))
    return Outcome::failure(kUntrusted, "the signing certificate is not for code signing");
  if (!(X509_get_key_usage(leaf) & KU_DIGITAL_SIGNATURE))
    return Outcome::failure(kUntrusted, "the signing certificate may not make signatures");

  // Content and signature. The signer's chain was verified just above, with
  // this store and these parameters, for this very certificate: verifying it
  // again inside CMS_verify would only repeat two ECDSA verifications per
  // signature on every launch. Never CMS_NO_CONTENT_VERIFY: the content is
  // the point.
  BioPtr data(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  if (!data ||
      CMS_verify(cms, nullptr, store, data.get(), nullptr, CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
    std::string why = drainOpensslErrors();
    return Outcome::failure(kSignatureFailed, "signature does not verify: " + why);
  }
  parse.keep();
  *out = std::move(result);
  return Outcome::success();
}

}  // namespace qlsign
