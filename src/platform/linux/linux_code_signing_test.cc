// The Linux code-signing backend as the launcher's seam sees it.
#include "platform/linux/linux_code_signing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "codesign/signer.h"
#include "codesign/test_support.h"

namespace ql::linux_backend {
namespace {

using qlsign::testing::vendorIdentity;

const char* const kInstallRequirement =
    "anchor apple generic and certificate 1[field.1.2.840.113635.100.6.2.6] exists and certificate "
    "leaf[field.1.2.840.113635.100.6.1.13] exists and certificate leaf[subject.OU] = \"T4K9PV2XQM\"";

TEST(LinuxCodeSigning, RunningCodeIsTheBundleOfTheExecutable) {
  struct Row {
    const char* exe;
    const char* code;
  } table[] = {
      {"/Applications/Quillmark.app/Contents/MacOS/Quillmark", "/Applications/Quillmark.app"},
      {"/opt/q/Quillmark.app/Contents/MacOS/other-name", "/opt/q/Quillmark.app"},
      {"/usr/local/bin/quillmark-launcher", "/usr/local/bin/quillmark-launcher"},
      {"/x/MacOS/Quillmark", "/x/MacOS/Quillmark"},
      {"/x/Contents/Quillmark", "/x/Contents/Quillmark"},
  };
  for (const Row& row : table) EXPECT_EQ(codePathForExecutable(row.exe), row.code) << row.exe;
}

TEST(LinuxCodeSigning, InstallEvidenceCallsWorkOnASignedBundle) {
  qlsign::testing::TempDir dir;
  std::string b = qlsign::testing::makeSampleBundle(dir.path());
  ASSERT_TRUE(qlsign::signBundle(b, vendorIdentity().signer, {}).ok());
  LinuxCodeSigning cs(vendorIdentity().trust(), [&] { return b + "/Contents/MacOS/Sample"; });

  RequirementRef install;
  ASSERT_EQ(cs.createRequirementWithString(kInstallRequirement, 0, &install), errSecSuccess);
  StaticCodeRef code;
  ASSERT_EQ(cs.createStaticCodeWithPath(b, 0, &code), errSecSuccess);
  EXPECT_EQ(cs.checkValidity(code, kSecCSCheckNestedCode | kSecCSStrictValidate, install), errSecSuccess);
  SigningInformation first, second;
  ASSERT_EQ(cs.copySigningInformation(code, 0, &first), errSecSuccess);
  ASSERT_TRUE(first.unique.has_value());
  EXPECT_EQ(first.unique->size(), 32u);
  EXPECT_EQ(first.teamIdentifier, "T4K9PV2XQM");
  ASSERT_TRUE(qlsign::signBundle(b, vendorIdentity().signer, {}).ok());
  ASSERT_EQ(cs.copySigningInformation(code, 0, &second), errSecSuccess);
  EXPECT_EQ(first.unique, second.unique) << "same content, same cdhash";

  // The running code's own requirement is satisfied by its bundle.
  CodeRef self;
  StaticCodeRef selfStatic;
  RequirementRef designated;
  ASSERT_EQ(cs.copySelf(0, &self), errSecSuccess);
  ASSERT_EQ(cs.copyStaticCode(self, 0, &selfStatic), errSecSuccess);
  ASSERT_EQ(cs.copyDesignatedRequirement(selfStatic, 0, &designated), errSecSuccess);
  EXPECT_EQ(cs.checkValidity(code, 0x18, designated), errSecSuccess);
}

// One backend object serves a whole launch and keeps the blobs it parsed;
// what it is asked after the bundle changed must be answered from the
// bundle as it is now.
TEST(LinuxCodeSigning, ABundleChangedBetweenChecksIsJudgedAsItIsNow) {
  qlsign::testing::TempDir dir;
  std::string b = qlsign::testing::makeSampleBundle(dir.path());
  ASSERT_TRUE(qlsign::signBundle(b, vendorIdentity().signer, {}).ok());
  LinuxCodeSigning cs(vendorIdentity().trust(), [&] { return b + "/Contents/MacOS/Sample"; });
  auto designated = [&](RequirementRef* out) {
    CodeRef self;
    StaticCodeRef selfStatic;
    ASSERT_EQ(cs.copySelf(0, &self), errSecSuccess);
    ASSERT_EQ(cs.copyStaticCode(self, 0, &selfStatic), errSecSuccess);
    ASSERT_EQ(cs.copyDesignatedRequirement(selfStatic, 0, out), errSecSuccess);
  };
  RequirementRef first;
  designated(&first);
  StaticCodeRef code;
  ASSERT_EQ(cs.createStaticCodeWithPath(b, 0, &code), errSecSuccess);
  ASSERT_EQ(cs.checkValidity(code, 0x18, first), errSecSuccess);

  const std::string blobPath = b + "/Contents/_CodeSignature/CodeSignature";
  const std::string original = qlsign::testing::readFile(blobPath);
  std::string damaged = original;
  damaged[damaged.size() - 3] ^= 0x01;
  qlsign::testing::writeFile(blobPath, damaged);
  EXPECT_EQ(cs.checkValidity(code, 0x18, first), errSecCSSignatureFailed);
  qlsign::testing::writeFile(blobPath, original);
  EXPECT_EQ(cs.checkValidity(code, 0x18, first), errSecSuccess);

  // Signed again for another team: the old requirement no longer holds and
  // the new one is read from the new signature.
  qlsign::LeafOptions other;
  other.teamIdentifier = "Z9Z9Z9Z9Z9";
  ASSERT_TRUE(qlsign::signBundle(b, qlsign::testing::vendorLeaf(other), {}).ok());
  EXPECT_EQ(cs.checkValidity(code, 0x18, first), errSecCSReqFailed);
  RequirementRef second;
  designated(&second);
  EXPECT_EQ(cs.checkValidity(code, 0x18, second), errSecSuccess);
  SigningInformation info;
  ASSERT_EQ(cs.copySigningInformation(code, 0, &info), errSecSuccess);
  EXPECT_EQ(info.teamIdentifier, "Z9Z9Z9Z9Z9");
}

TEST(LinuxCodeSigning, ErrorsComeBackAsStatusCodes) {
  LinuxCodeSigning cs(vendorIdentity().trust(), [] { return std::string("/nonexistent/x"); });
  StaticCodeRef code;
  RequirementRef req;
  EXPECT_EQ(cs.createStaticCodeWithPath("/nonexistent/x", 0, &code), errSecCSStaticCodeNotFound);
  EXPECT_EQ(cs.createRequirementWithString("anchor apple", 0, &req), errSecCSReqInvalid);
  ASSERT_EQ(cs.createStaticCodeWithPath("/etc/hostname", 0, &code), errSecSuccess);
  EXPECT_EQ(cs.copyDesignatedRequirement(code, 0, &req), errSecCSUnsigned);
  EXPECT_EQ(cs.checkValidity(code, 0, nullptr), errSecCSUnsigned);
  EXPECT_EQ(cs.checkValidity(code, 0x20, nullptr), -67070);
  EXPECT_EQ(cs.checkValidity(nullptr, 0, nullptr), errSecCSInvalidObjectRef);
}

#ifdef QL_TEST_DEV_IDENTITY
// The anchors compiled into this build are the build's development root.
TEST(LinuxCodeSigning, BuiltInAnchorsTrustTheDevelopmentIdentity) {
  qlsign::SigningIdentity id;
  std::string error;
  ASSERT_TRUE(qlsign::loadSigningIdentity(QL_TEST_DEV_IDENTITY, &id, &error)) << error;
  qlsign::testing::TempDir dir;
  std::string b = qlsign::testing::makeSampleBundle(dir.path());
  ASSERT_TRUE(qlsign::signBundle(b, id, {}).ok());
  LinuxCodeSigning builtIn(builtInTrustStore());
  LinuxCodeSigning background(builtInTrustStoreInBackground());
  LinuxCodeSigning other(vendorIdentity().trust());
  StaticCodeRef code;
  RequirementRef install;
  ASSERT_EQ(builtIn.createStaticCodeWithPath(b, 0, &code), errSecSuccess);
  ASSERT_EQ(builtIn.createRequirementWithString(kInstallRequirement, 0, &install), errSecSuccess);
  EXPECT_EQ(builtIn.checkValidity(code, 0x18, install), errSecSuccess);
  EXPECT_EQ(background.checkValidity(code, 0x18, install), errSecSuccess);
  EXPECT_EQ(other.checkValidity(code, 0x18, nullptr), -67060);
}
#endif

// The launcher's first check may come before the anchors are parsed: it
// must wait for them, not run against an empty store.
TEST(LinuxCodeSigning, ACheckBeforeTheAnchorsAreReadyWaitsForThem) {
  qlsign::testing::TempDir dir;
  std::string b = qlsign::testing::makeSampleBundle(dir.path());
  ASSERT_TRUE(qlsign::signBundle(b, vendorIdentity().signer, {}).ok());
  std::promise<qlsign::TrustStore> anchors;
  LinuxCodeSigning cs(anchors.get_future().share(), [&] { return b + "/Contents/MacOS/Sample"; });
  StaticCodeRef code;
  RequirementRef install;
  ASSERT_EQ(cs.createStaticCodeWithPath(b, 0, &code), errSecSuccess);
  ASSERT_EQ(cs.createRequirementWithString(kInstallRequirement, 0, &install), errSecSuccess);

  OSStatus status = 1;
  std::thread check([&] { status = cs.checkValidity(code, kSecCSCheckNestedCode | kSecCSStrictValidate, install); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  anchors.set_value(vendorIdentity().trust());
  check.join();
  EXPECT_EQ(status, errSecSuccess);
}

}  // namespace
}  // namespace ql::linux_backend
