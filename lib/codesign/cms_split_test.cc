// Cutting the certificates out of a signature must lose nothing a parse of
// the whole blob would see, and must decline, not guess, at any layout it
// does not know: the caller then parses the blob whole.
#include "codesign/cms_split.h"

#include <gtest/gtest.h>

#include <functional>

#include "codesign/cms.h"
#include "codesign/test_support.h"

namespace qlsign {
namespace {

using testing::vendorIdentity;

Bytes signedBlob() {
  std::string error;
  Bytes blob = signDetached("a code directory", vendorIdentity().signer, &error);
  EXPECT_FALSE(blob.empty()) << error;
  return blob;
}

Bytes der(CMS_ContentInfo* cms) {
  unsigned char* p = nullptr;
  int n = i2d_CMS_ContentInfo(cms, &p);
  Bytes out(p, p + (n > 0 ? n : 0));
  OPENSSL_free(p);
  return out;
}

TEST(SplitCertificates, TheRestAndTheCertificatesMakeTheSameBlobAgain) {
  const Bytes blob = signedBlob();
  SplitSignature split;
  ASSERT_TRUE(splitCertificates(blob, &split));
  EXPECT_EQ(split.certificates.size(), 1 + vendorIdentity().signer.chain.size());

  const unsigned char* p = split.withoutCertificates.data();
  CmsPtr rest(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(split.withoutCertificates.size())));
  ASSERT_TRUE(rest);
  EXPECT_EQ(p, split.withoutCertificates.data() + split.withoutCertificates.size());
  CertStackPtr none(CMS_get1_certs(rest.get()));
  EXPECT_TRUE(!none || sk_X509_num(none.get()) == 0) << "the rest carries no certificate";
  for (const auto& [offset, size] : split.certificates) {
    const unsigned char* c = blob.data() + offset;
    X509Ptr cert(d2i_X509(nullptr, &c, static_cast<long>(size)));
    ASSERT_TRUE(cert);
    EXPECT_EQ(c, blob.data() + offset + size) << "a range is exactly one certificate";
    ASSERT_EQ(CMS_add1_cert(rest.get(), cert.get()), 1);
  }
  EXPECT_EQ(der(rest.get()), blob);
}

TEST(SplitCertificates, DeclinesEveryLayoutItDoesNotKnow) {
  const Bytes good = signedBlob();
  SplitSignature probe;
  ASSERT_TRUE(splitCertificates(good, &probe));
  const size_t firstCert = probe.certificates.front().first;

  // Signed without certificates: nothing to take out.
  Bytes bare;
  {
    const SigningIdentity& id = vendorIdentity().signer;
    BioPtr data(BIO_new_mem_buf("x", 1));
    CmsPtr cms(CMS_sign(id.leaf.get(), id.key.get(), nullptr, data.get(),
                        CMS_BINARY | CMS_DETACHED | CMS_NOCERTS));
    ASSERT_TRUE(cms);
    bare = der(cms.get());
  }
  struct Row {
    const char* name;
    std::function<Bytes()> blob;
  } table[] = {
      {"empty", [] { return Bytes{}; }},
      {"cut one byte short", [&] { return Bytes(good.begin(), good.end() - 1); }},
      {"one byte after the structure",
       [&] {
         Bytes b = good;
         b.push_back(0);
         return b;
       }},
      {"not a SEQUENCE outside",
       [&] {
         Bytes b = good;
         b[0] = 0x31;
         return b;
       }},
      {"the outer length left open (BER)",
       [&] {
         // 30 82 hi lo ... -> 30 80 ... 00 00
         Bytes b = {0x30, 0x80};
         EXPECT_EQ(good[1], 0x82);
         b.insert(b.end(), good.begin() + 4, good.end());
         b.push_back(0);
         b.push_back(0);
         return b;
       }},
      {"a certificate choice other than a plain certificate",
       [&] {
         Bytes b = good;
         b[firstCert] = 0xA1;
         return b;
       }},
      {"no certificates field", [&] { return bare; }},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.name);
    SplitSignature split;
    EXPECT_FALSE(splitCertificates(row.blob(), &split));
  }
}

}  // namespace
}  // namespace qlsign
