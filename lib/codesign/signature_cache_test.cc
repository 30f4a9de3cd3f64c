// Parses kept between checks must never stand in for bytes that changed,
// and must not carry a trust decision from one check to the next.
#include "codesign/signature_cache.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <filesystem>
#include <functional>
#include <thread>

#include "codesign/appended.h"
#include "codesign/cms.h"
#include "codesign/cms_split.h"
#include "codesign/seal.h"
#include "codesign/signer.h"
#include "codesign/test_support.h"
#include "codesign/verifier.h"

namespace qlsign {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::vendorIdentity;
using testing::writeFile;
namespace fs = std::filesystem;

constexpr uint32_t kStrictNested = kStrictValidate | kCheckNestedCode;
constexpr time_t kDay = 86400;

std::string sigFile(const std::string& bundle, const char* name) {
  return bundle + "/" + kSignatureDir + "/" + name;
}

void flipByte(const std::string& path, size_t offset) {
  std::string s = readFile(path);
  s.at(offset) ^= 0x01;
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  writeFile(path, s, st.st_mode & 07777);
}

void copyOver(const std::string& from, const std::string& to) {
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

Bytes bytesOf(const std::string& path) {
  std::string s = readFile(path);
  return Bytes(s.begin(), s.end());
}

// The same bundle twice: signed by the vendor and, byte for byte the same
// content and team, by an authority nobody trusts. Their code directories
// are identical, so only the blobs tell them apart.
struct Twins {
  TempDir dir;
  std::string vendor, foreign;
  Twins() {
    fs::create_directories(dir.path() + "/v");
    fs::create_directories(dir.path() + "/f");
    vendor = testing::makeSampleBundle(dir.path() + "/v");
    foreign = testing::makeSampleBundle(dir.path() + "/f");
    EXPECT_TRUE(signBundle(vendor, vendorIdentity().signer, {}).ok());
    EXPECT_TRUE(signBundle(foreign, testing::foreignIdentity("T4K9PV2XQM").signer, {}).ok());
  }
};

TEST(SignatureCache, AChangedSignatureIsVerifiedAfreshInTheSameProcess) {
  const char* const kTool = "/Contents/Resources/bin/tool";
  struct Row {
    const char* name;
    std::function<void(const Twins&)> change;
    Code expected;
  } table[] = {
      {"a byte of the bundle's blob flipped",
       [](const Twins& t) {
         std::string blob = sigFile(t.vendor, kSignatureFile);
         flipByte(blob, fs::file_size(blob) - 3);
       },
       kSignatureFailed},
      {"the last byte of a certificate in the bundle's blob flipped (a kept decode must not serve it)",
       [](const Twins& t) {
         std::string blob = sigFile(t.vendor, kSignatureFile);
         SplitSignature split;
         ASSERT_TRUE(splitCertificates(bytesOf(blob), &split));
         const auto& [offset, size] = split.certificates.front();
         flipByte(blob, offset + size - 1);
       },
       kUntrusted},
      {"the bundle's blob swapped for an untrusted signer's over the same code directory",
       [](const Twins& t) { copyOver(sigFile(t.foreign, kSignatureFile), sigFile(t.vendor, kSignatureFile)); },
       kUntrusted},
      {"the code directory changed under the same blob",
       [](const Twins& t) { flipByte(sigFile(t.vendor, kCodeDirectoryFile), 40); }, kSignatureFailed},
      {"a byte of the nested tool's appended blob flipped",
       [&](const Twins& t) { flipByte(t.vendor + kTool, fs::file_size(t.vendor + kTool) - kTrailerSize - 3); },
       kNestedInvalid},
      {"the nested tool's blob swapped for an untrusted signer's",
       [&](const Twins& t) { copyOver(t.foreign + kTool, t.vendor + kTool); }, kNestedInvalid},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.name);
    Twins t;
    TrustStore trust = vendorIdentity().trust();
    SignatureCache cache;
    ValidateOptions options;
    options.signatures = &cache;
    // The launch's reads first, so every blob is in the cache.
    Requirement self, tool;
    ASSERT_TRUE(designatedRequirement(t.vendor, &self, &cache).ok());
    ASSERT_TRUE(designatedRequirement(t.vendor + kTool, &tool, &cache).ok());
    Outcome o = validateCode(t.vendor, kStrictNested, &self, trust, options);
    ASSERT_TRUE(o.ok()) << o.detail;
    row.change(t);
    o = validateCode(t.vendor, kStrictNested, &self, trust, options);
    EXPECT_EQ(o.code, row.expected) << codeName(o.code) << ": " << o.detail;
    // Asked twice, the answer stays: a refusal leaves nothing behind that
    // could turn into a pass.
    EXPECT_EQ(validateCode(t.vendor, kStrictNested, &self, trust, options).code, row.expected);
  }
}

TEST(SignatureCache, UnchangedBytesAreStillJudgedByTheQuestionAsked) {
  Twins t;
  SignatureCache cache;
  ValidateOptions options;
  options.signatures = &cache;
  ASSERT_TRUE(validateCode(t.vendor, kStrictNested, nullptr, vendorIdentity().trust(), options).ok());

  // Other anchors: the chain is built against them, not remembered.
  TrustStore elsewhere;
  elsewhere.addVendorAnchor(testing::foreignIdentity("T4K9PV2XQM").ca.root.get());
  EXPECT_EQ(validateCode(t.vendor, kStrictNested, nullptr, elsewhere, options).code, kUntrusted);

  // A clock before the signing time: the time check runs again.
  ValidateOptions past = options;
  past.now = ::time(nullptr) - kDay;
  EXPECT_EQ(validateCode(t.vendor, kStrictNested, nullptr, vendorIdentity().trust(), past).code, kSignatureFailed);

  // And the kept parses still serve a check that should pass.
  EXPECT_TRUE(validateCode(t.vendor, kStrictNested, nullptr, vendorIdentity().trust(), options).ok());
}

TEST(SignatureCache, ARequirementIsDerivedFromTheSignatureOnDiskNow) {
  TempDir dir;
  std::string b = testing::makeSampleBundle(dir.path());
  ASSERT_TRUE(signBundle(b, vendorIdentity().signer, {}).ok());
  SignatureCache cache;
  Requirement before, after;
  ASSERT_TRUE(designatedRequirement(b, &before, &cache).ok());
  LeafOptions other;
  other.teamIdentifier = "Z9Z9Z9Z9Z9";
  ASSERT_TRUE(signBundle(b, testing::vendorLeaf(other), {}).ok());
  ASSERT_TRUE(designatedRequirement(b, &after, &cache).ok());
  EXPECT_NE(before.text().find("T4K9PV2XQM"), std::string::npos) << before.text();
  EXPECT_NE(after.text().find("Z9Z9Z9Z9Z9"), std::string::npos) << after.text();
}

TEST(SignatureCache, AKeptParseServesOnlyTheVeryBytesItCameFrom) {
  Twins t;
  const Bytes blob = bytesOf(sigFile(t.vendor, kSignatureFile));
  Bytes sameLength = blob;
  sameLength[sameLength.size() / 2] ^= 0x01;
  Bytes longer = blob;
  longer.push_back(0);

  SignatureCache cache;
  CmsPtr first = cache.take(blob);
  ASSERT_TRUE(first);
  CMS_ContentInfo* kept = first.get();
  cache.give(blob, std::move(first));

  EXPECT_NE(cache.take(sameLength).get(), kept);
  EXPECT_FALSE(cache.take(longer)) << "trailing bytes never parse, kept or not";
  // Another thread is served its own parse (the certificates of a parse are
  // shared with what its user was handed).
  bool ownParse = false;
  std::thread([&] {
    CmsPtr theirs = cache.take(blob);
    ownParse = theirs && theirs.get() != kept;
  }).join();
  EXPECT_TRUE(ownParse);
  CmsPtr again = cache.take(blob);
  EXPECT_EQ(again.get(), kept) << "the same bytes reuse the parse";
  // Handed out, it is no longer in the cache: a second user parses its own.
  CmsPtr meanwhile = cache.take(blob);
  ASSERT_TRUE(meanwhile);
  EXPECT_NE(meanwhile.get(), kept);
}

// Two signatures by the same identity carry the same certificates: parsed
// through the cache on one thread, they are decoded once.
TEST(SignatureCache, SignaturesParsedOnOneThreadShareTheirCertificates) {
  Twins t;
  const Bytes bundle = bytesOf(sigFile(t.vendor, kSignatureFile));
  AppendedSignature tool;
  {
    int fd = ::open((t.vendor + "/Contents/Resources/bin/tool").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(readAppendedSignature(fd, &tool).ok());
    ::close(fd);
  }
  const Bytes toolBlob(tool.signature.begin(), tool.signature.end());
  ASSERT_NE(bundle, toolBlob);

  auto certs = [](CMS_ContentInfo* cms) {
    std::vector<X509*> out;
    CertStackPtr s(CMS_get1_certs(cms));
    for (int i = 0; s && i < sk_X509_num(s.get()); ++i) out.push_back(sk_X509_value(s.get(), i));
    return out;
  };
  SignatureCache cache;
  CmsPtr a = cache.take(bundle), b = cache.take(toolBlob);
  ASSERT_TRUE(a && b);
  std::vector<X509*> ca = certs(a.get()), cb = certs(b.get());
  ASSERT_EQ(ca.size(), 1 + vendorIdentity().signer.chain.size());
  EXPECT_EQ(ca, cb) << "the same certificate objects";
  // The structure is the one a parse of the whole blob gives.
  CmsPtr whole = parseSignatureBlob(bundle);
  unsigned char *x = nullptr, *y = nullptr;
  int nx = i2d_CMS_ContentInfo(a.get(), &x), ny = i2d_CMS_ContentInfo(whole.get(), &y);
  EXPECT_TRUE(nx > 0 && nx == ny && std::equal(x, x + nx, y));
  OPENSSL_free(x);
  OPENSSL_free(y);

  std::vector<X509*> theirs;
  std::thread([&] {
    CmsPtr c = cache.take(toolBlob);
    if (c) theirs = certs(c.get());
  }).join();
  ASSERT_EQ(theirs.size(), ca.size());
  EXPECT_NE(theirs.front(), ca.front()) << "another thread decodes its own";
}

}  // namespace
}  // namespace qlsign
