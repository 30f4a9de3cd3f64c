// A real signed bundle, tampered with in every way that matters. Each row
// starts from a freshly signed copy and must be refused with its own code
// under strict nested validation against the bundle's designated requirement.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "codesign/seal.h"
#include "codesign/signer.h"
#include "codesign/test_support.h"
#include "codesign/verifier.h"

namespace qlsign {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::vendorIdentity;
using testing::vendorLeaf;
using testing::writeFile;
namespace fs = std::filesystem;

constexpr uint32_t kStrictNested = kStrictValidate | kCheckNestedCode;

std::string signedSample(const TempDir& dir, const SigningIdentity& id = vendorIdentity().signer) {
  std::string b = testing::makeSampleBundle(dir.path());
  Outcome o = signBundle(b, id, SignOptions{});
  EXPECT_TRUE(o.ok()) << o.detail;
  return b;
}

Requirement requirementOf(const std::string& path) {
  Requirement r;
  Outcome o = designatedRequirement(path, &r);
  EXPECT_TRUE(o.ok()) << o.detail;
  return r;
}

void flipByte(const std::string& path, size_t offset) {
  std::string s = readFile(path);
  s[offset] ^= 0x20;
  struct stat st;
  ::stat(path.c_str(), &st);
  writeFile(path, s, st.st_mode & 07777);
}

void resign(const std::string& b, const SigningIdentity& id) {
  Outcome o = signBundle(b, id, SignOptions{});
  ASSERT_TRUE(o.ok()) << o.detail;
}

struct Tamper {
  const char* name;
  std::function<void(const std::string&)> apply;
  Code strictNested;   // flags 0x18
  Code plain;          // flags 0
};

const Tamper kTable[] = {
    {"untouched", [](const std::string&) {}, kOk, kOk},
    {"resource byte changed", [](const std::string& b) { flipByte(b + "/Contents/Resources/web/index.html", 3); },
     kResourceModified, kResourceModified},
    {"resource grew", [](const std::string& b) { writeFile(b + "/Contents/Resources/web/index.html", "<html>x</html>!\n"); },
     kResourceModified, kResourceModified},
    {"main executable byte changed", [](const std::string& b) { flipByte(b + "/Contents/MacOS/Sample", 12); },
     kSignatureFailed, kSignatureFailed},
    {"Info.plist changed", [](const std::string& b) { flipByte(b + "/Contents/Info.plist", 60); }, kSignatureFailed,
     kSignatureFailed},
    {"file added", [](const std::string& b) { writeFile(b + "/Contents/Resources/extra.js", "evil()"); },
     kResourceAdded, kOk},
    {"folder added", [](const std::string& b) { fs::create_directory(b + "/Contents/Plugins"); }, kResourceAdded, kOk},
    {"fifo added", [](const std::string& b) { ::mkfifo((b + "/Contents/Resources/pipe").c_str(), 0644); },
     kResourceAdded, kOk},
    // Sealed entries whose type changed: the walk sees them first, so none
    // of these may be opened (a FIFO must not block) or read through a link.
    {"sealed file replaced by a fifo",
     [](const std::string& b) {
       fs::remove(b + "/Contents/Resources/web/index.html");
       ::mkfifo((b + "/Contents/Resources/web/index.html").c_str(), 0644);
     },
     kResourceModified, kResourceModified},
    {"sealed file replaced by a link to the same bytes",
     [](const std::string& b) {
       std::string f = b + "/Contents/Resources/web/index.html";
       fs::copy_file(f, b + "/../index-copy.html");
       fs::remove(f);
       fs::create_symlink(b + "/../index-copy.html", f);
     },
     kResourceModified, kResourceModified},
    {"sealed folder replaced by a link to a copy of it",
     [](const std::string& b) {
       std::string web = b + "/Contents/Resources/web";
       fs::copy(web, b + "/../web-copy", fs::copy_options::recursive);
       fs::remove_all(web);
       fs::create_directory_symlink(b + "/../web-copy", web);
     },
     kResourceModified, kResourceModified},
    {"file removed", [](const std::string& b) { fs::remove(b + "/Contents/Resources/web/assets/app.js"); },
     kResourceMissing, kResourceMissing},
    {"file renamed",
     [](const std::string& b) {
       fs::rename(b + "/Contents/Resources/web/index.html", b + "/Contents/Resources/web/index2.html");
     },
     kResourceMissing, kResourceMissing},
    {"exec bit added", [](const std::string& b) { ::chmod((b + "/Contents/Resources/web/index.html").c_str(), 0755); },
     kResourceModified, kResourceModified},
    {"exec bit removed", [](const std::string& b) { ::chmod((b + "/Contents/MacOS/Sample").c_str(), 0644); },
     kResourceModified, kResourceModified},
    {"setuid bit added", [](const std::string& b) { ::chmod((b + "/Contents/MacOS/Sample").c_str(), 04755); },
     kResourceModified, kResourceModified},
    // Nested code falls under the plain-file rule for its mode.
    {"bundled tool made set-uid", [](const std::string& b) { ::chmod((b + "/Contents/Resources/bin/tool").c_str(), 04777); },
     kResourceModified, kResourceModified},
    {"bundled tool made set-gid", [](const std::string& b) { ::chmod((b + "/Contents/Resources/bin/tool").c_str(), 02755); },
     kResourceModified, kResourceModified},
    {"bundled tool made sticky", [](const std::string& b) { ::chmod((b + "/Contents/Resources/bin/tool").c_str(), 01755); },
     kResourceModified, kResourceModified},
    {"bundled tool lost its execute bit",
     [](const std::string& b) { ::chmod((b + "/Contents/Resources/bin/tool").c_str(), 0644); }, kResourceModified,
     kResourceModified},
    {"nested helper's executable made set-uid",
     [](const std::string& b) { ::chmod((b + "/Contents/Helpers/Helper.app/Contents/MacOS/Helper").c_str(), 04755); },
     kNestedInvalid, kOk},
    // Write bits and folder modes are not sealed, for code as for plain files.
    {"bundled tool made world-writable",
     [](const std::string& b) { ::chmod((b + "/Contents/Resources/bin/tool").c_str(), 0777); }, kOk, kOk},
    {"resource made world-writable",
     [](const std::string& b) { ::chmod((b + "/Contents/Resources/web/index.html").c_str(), 0666); }, kOk, kOk},
    {"folder given the set-gid bit of its parent",
     [](const std::string& b) { ::chmod((b + "/Contents/Resources/web").c_str(), 02755); }, kOk, kOk},
    {"link redirected outside",
     [](const std::string& b) {
       fs::remove(b + "/Contents/Resources/start.html");
       fs::create_symlink("/etc/passwd", b + "/Contents/Resources/start.html");
     },
     kResourceModified, kResourceModified},
    {"link replaced by a file",
     [](const std::string& b) {
       fs::remove(b + "/Contents/Resources/start.html");
       writeFile(b + "/Contents/Resources/start.html", "<html>hello</html>\n");
     },
     kResourceModified, kResourceModified},
    {"nested helper resource modified",
     [](const std::string& b) { flipByte(b + "/Contents/Helpers/Helper.app/Contents/Resources/helper.dat", 0); },
     kNestedInvalid, kOk},
    {"file added inside the nested helper",
     [](const std::string& b) { writeFile(b + "/Contents/Helpers/Helper.app/Contents/Resources/x", "x"); },
     kNestedInvalid, kOk},
    {"nested helper re-signed with different content",
     [](const std::string& b) {
       writeFile(b + "/Contents/Helpers/Helper.app/Contents/Resources/helper.dat", "other");
       resign(b + "/Contents/Helpers/Helper.app", vendorIdentity().signer);
     },
     kNestedInvalid, kNestedInvalid},
    {"nested helper removed", [](const std::string& b) { fs::remove_all(b + "/Contents/Helpers/Helper.app"); },
     kResourceMissing, kResourceMissing},
    {"bundled tool payload modified", [](const std::string& b) { flipByte(b + "/Contents/Resources/bin/tool", 20); },
     kNestedInvalid, kOk},
    {"bundled tool swapped for another vendor-signed tool",
     [](const std::string& b) {
       std::string tool = b + "/Contents/Resources/bin/tool";
       writeFile(tool, "#!/bin/sh\necho other\n", 0755);
       ASSERT_TRUE(signExecutable(tool, vendorIdentity().signer, SignOptions{"tool"}).ok());
     },
     kNestedInvalid, kNestedInvalid},
    {"bundled tool signature stripped",
     [](const std::string& b) { writeFile(b + "/Contents/Resources/bin/tool", "#!/bin/sh\necho tool\n", 0755); },
     kNestedInvalid, kNestedInvalid},
    {"signature stripped", [](const std::string& b) { fs::remove_all(b + "/Contents/_CodeSignature"); }, kUnsigned,
     kUnsigned},
    {"stray file in the signature folder",
     [](const std::string& b) { writeFile(b + "/Contents/_CodeSignature/extra", "x"); }, kResourceAdded, kOk},
    {"manifest edited",
     [](const std::string& b) { flipByte(b + "/Contents/_CodeSignature/CodeResources", 30); }, kSignatureFailed,
     kSignatureFailed},
    {"code directory edited",
     [](const std::string& b) { flipByte(b + "/Contents/_CodeSignature/CodeDirectory", 30); }, kSignatureFailed,
     kSignatureFailed},
    {"signature blob replaced", [](const std::string& b) { writeFile(b + "/Contents/_CodeSignature/CodeSignature", "junk"); },
     kMalformed, kMalformed},
    {"re-signed by a chain to an untrusted root",
     [](const std::string& b) { resign(b, testing::foreignIdentity("T4K9PV2XQM").signer); }, kUntrusted, kUntrusted},
    {"re-signed by another team of the vendor",
     [](const std::string& b) {
       LeafOptions o;
       o.teamIdentifier = "WRONGTEAM1";
       resign(b, vendorLeaf(o));
     },
     kRequirementFailed, kRequirementFailed},
    {"re-signed with an expired leaf",
     [](const std::string& b) {
       LeafOptions o;
       o.teamIdentifier = "T4K9PV2XQM";
       o.notBefore = ::time(nullptr) - 10 * 86400;
       o.notAfter = ::time(nullptr) - 86400;
       resign(b, vendorLeaf(o));
     },
     kCertificateExpired, kCertificateExpired},
    {"re-signed with a leaf not meant for code signing",
     [](const std::string& b) {
       LeafOptions o;
       o.teamIdentifier = "T4K9PV2XQM";
       o.codeSigningUsage = false;
       resign(b, vendorLeaf(o));
     },
     kUntrusted, kUntrusted},
};

TEST(BundleTamper, EveryRowIsRefusedWithItsCode) {
  for (const Tamper& row : kTable) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    std::string b = signedSample(dir);
    Requirement original = requirementOf(b);
    row.apply(b);
    TrustStore trust = vendorIdentity().trust();
    Outcome strict = validateCode(b, kStrictNested, &original, trust);
    EXPECT_EQ(strict.code, row.strictNested) << codeName(strict.code) << ": " << strict.detail;
    Outcome plain = validateCode(b, 0, &original, trust);
    EXPECT_EQ(plain.code, row.plain) << codeName(plain.code) << ": " << plain.detail;
  }
}

TEST(BundleSigning, CdhashIsStableAcrossResigningAndInstallRequirementHolds) {
  TempDir dir;
  std::string b = signedSample(dir);
  SignatureInfo first, second;
  ASSERT_TRUE(readSignature(b, &first).ok());
  resign(b, vendorIdentity().signer);
  ASSERT_TRUE(readSignature(b, &second).ok());
  EXPECT_EQ(first.cdhash, second.cdhash);
  EXPECT_EQ(first.identifier, "org.example.sample");
  EXPECT_EQ(first.teamIdentifier, "T4K9PV2XQM");

  Requirement install;
  std::string error;
  ASSERT_TRUE(Requirement::parse(
      "anchor apple generic and certificate 1[field.1.2.840.113635.100.6.2.6] exists and certificate "
      "leaf[field.1.2.840.113635.100.6.1.13] exists and certificate leaf[subject.OU] = \"T4K9PV2XQM\"",
      &install, &error));
  Outcome o = validateCode(b, kStrictNested, &install, vendorIdentity().trust());
  EXPECT_TRUE(o.ok()) << o.detail;
}

TEST(BundleSigning, NestedCodeIsRecordedByItsOwnDesignatedRequirement) {
  TempDir dir;
  std::string b = testing::makeSampleBundle(dir.path());
  SignResult result;
  ASSERT_TRUE(signBundle(b, vendorIdentity().signer, SignOptions{}, &result).ok());
  EXPECT_EQ(result.nested, (std::vector<std::string>{"Contents/Helpers/Helper.app", "Contents/Resources/bin/tool"}));
  Requirement toolDr = requirementOf(b + "/Contents/Resources/bin/tool");
  EXPECT_EQ(toolDr.text().rfind("identifier \"tool\" and anchor apple generic", 0), 0u) << toolDr.text();
  EXPECT_TRUE(validateCode(b + "/Contents/Resources/bin/tool", 0, &toolDr, vendorIdentity().trust()).ok());
  // A copy of the tool carries its signature along.
  fs::copy_file(b + "/Contents/Resources/bin/tool", dir.path() + "/copy");
  EXPECT_TRUE(validateCode(dir.path() + "/copy", 0, &toolDr, vendorIdentity().trust()).ok());
}

TEST(BundleSigning, AnchorTrustedIsNotTheVendorAnchor) {
  // A signer outside the Developer ID scheme, under a root that is trusted
  // but is not a vendor anchor.
  CertificateAuthority ca;
  SigningIdentity id;
  std::string error;
  AuthorityOptions a;
  a.organization = "Partner";
  a.developerIdMarker = false;
  LeafOptions leaf;
  leaf.teamIdentifier = "PARTNER";
  leaf.developerIdMarker = false;
  ASSERT_TRUE(makeAuthority(a, &ca, &error) && issueLeaf(ca, leaf, &id, &error)) << error;
  TempDir dir;
  std::string b = signedSample(dir, id);
  TrustStore trust = vendorIdentity().trust();
  trust.addTrustedAnchor(ca.root.get());

  Requirement own = requirementOf(b);
  EXPECT_NE(own.text().find("anchor trusted"), std::string::npos) << own.text();
  Requirement vendorOnly;
  ASSERT_TRUE(Requirement::parse("anchor apple generic", &vendorOnly, &error));
  EXPECT_EQ(validateCode(b, kStrictNested, &own, trust).code, kOk);
  EXPECT_EQ(validateCode(b, kStrictNested, &vendorOnly, trust).code, kRequirementFailed);
  // The same bundle under the vendor anchors alone is not trusted at all.
  EXPECT_EQ(validateCode(b, kStrictNested, &own, vendorIdentity().trust()).code, kUntrusted);
}

TEST(BundleSigning, NoTrustAnchorsMeansNothingIsTrusted) {
  TempDir dir;
  std::string b = signedSample(dir);
  EXPECT_EQ(validateCode(b, 0, nullptr, TrustStore{}).code, kUntrusted);
}

TEST(BundleSigning, SignerRefusesLinksThatLeaveTheBundle) {
  struct Row {
    const char* name;
    std::vector<std::pair<std::string, std::string>> links;  // path -> text
    bool inside;
  } table[] = {
      {"absolute", {{"Contents/l", "/etc/passwd"}}, false},
      {"dot-dot above the root", {{"Contents/l", "../../x"}}, false},
      {"down and back up", {{"Contents/l", "Resources/../MacOS/Sample"}}, true},
      {"through a link to the root", {{"up", "."}, {"Contents/l", "../up/../etc"}}, false},
      {"through a link to a subfolder", {{"Contents/r", "Resources"}, {"Contents/l", "r/../MacOS"}}, true},
      {"loop", {{"Contents/a", "b"}, {"Contents/b", "a"}, {"Contents/l", "a"}}, false},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    std::string b = testing::makeSampleBundle(dir.path());
    for (const auto& [path, text] : row.links) fs::create_symlink(text, b + "/" + path);
    EXPECT_EQ(linkStaysInside(b, "Contents/l"), row.inside);
    Outcome o = signBundle(b, vendorIdentity().signer, SignOptions{});
    if (row.inside) {
      EXPECT_TRUE(o.ok()) << o.detail;
    } else {
      EXPECT_EQ(o.code, kInternal);
      EXPECT_NE(o.detail.find("leads outside"), std::string::npos) << o.detail;
    }
  }
}

}  // namespace
}  // namespace qlsign
