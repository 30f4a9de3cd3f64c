// Checks that run at once share one trust store and one cache of parsed
// blobs, as the launcher's queues do: each must get its own answer.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <thread>
#include <vector>

#include "codesign/signature_cache.h"
#include "codesign/signer.h"
#include "codesign/test_support.h"
#include "codesign/verifier.h"

namespace qlsign {
namespace {

using testing::TempDir;
using testing::vendorIdentity;
using testing::writeFile;
namespace fs = std::filesystem;

constexpr time_t kDay = 86400;

TEST(ConcurrentChecks, OneTrustStoreAndCacheGiveEachCheckItsOwnAnswer) {
  const time_t now = ::time(nullptr);
  TempDir dir;
  std::string bundle = testing::makeSampleBundle(dir.path());
  ASSERT_TRUE(signBundle(bundle, vendorIdentity().signer, {}).ok());
  // A tool signed with a leaf that had expired when it signed: judged at
  // its own signing time, whatever the checks beside it are judged at.
  LeafOptions expired;
  expired.teamIdentifier = "T4K9PV2XQM";
  expired.notBefore = now - 10 * kDay;
  expired.notAfter = now - kDay;
  std::string stale = dir.path() + "/stale";
  writeFile(stale, "payload", 0755);
  ASSERT_TRUE(signExecutable(stale, testing::vendorLeaf(expired), {}).ok());
  std::string tampered = dir.path() + "/tampered.app";
  fs::copy(bundle, tampered, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  writeFile(tampered + "/Contents/Resources/web/index.html", "<html>HELLO</html>\n");

  struct Row {
    std::string path;
    std::optional<time_t> now;
    Code expected;
  } rows[] = {
      {bundle, std::nullopt, kOk},
      {stale, std::nullopt, kCertificateExpired},
      {tampered, std::nullopt, kResourceModified},
      {bundle, now - kDay, kSignatureFailed},  // signed in this clock's future
  };
  const TrustStore trust = vendorIdentity().trust();
  SignatureCache cache;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 6; ++round) {
        const Row& row = rows[(t + round) % 4];
        ValidateOptions options;
        options.now = row.now;
        options.signatures = &cache;
        Requirement r;
        if (round % 2 == 0 && designatedRequirement(row.path, &r, &cache).ok() != true) ++wrong;
        if (validateCode(row.path, kStrictValidate | kCheckNestedCode, nullptr, trust, options).code != row.expected)
          ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace qlsign
