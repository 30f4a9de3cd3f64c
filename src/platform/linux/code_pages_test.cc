// Dropping a library's read-only pages takes them out of the resident set
// and leaves the library fully working: what comes back is the file's own
// bytes, and the pages the loader wrote (relocations) are never dropped.
#include "platform/linux/code_pages.h"

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>

#include <fstream>
#include <sstream>
#include <string>

namespace ql::linux_backend {
namespace {

// Resident kB of libcrypto's mappings, split by whether the mapping is
// executable.
struct Resident {
  long code = 0, other = 0;
};
Resident libcryptoResident() {
  Resident r;
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool mine = false, exec = false;
  while (std::getline(smaps, line)) {
    std::istringstream in(line);
    std::string first;
    in >> first;
    if (first.find('-') != std::string::npos && first.back() != ':') {
      std::string perms, offset, dev, inode, path;
      in >> perms >> offset >> dev >> inode >> path;
      mine = path.find("libcrypto.so") != std::string::npos;
      exec = perms.size() > 2 && perms[2] == 'x';
    } else if (first == "Rss:" && mine) {
      long kb = 0;
      in >> kb;
      (exec ? r.code : r.other) += kb;
    }
  }
  return r;
}

std::string hexSha256(const std::string& data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(data.data(), data.size(), md, &n, EVP_sha256(), nullptr);
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < n; ++i) out += {digits[md[i] >> 4], digits[md[i] & 15]};
  return out;
}

// A signature made and checked: method tables, provider state and
// relocated pointers all over libcrypto take part.
bool signAndVerify() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (!key) return false;
  const std::string msg = "the bundle as it was signed";
  unsigned char sig[256];
  size_t sigLen = sizeof sig;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
            EVP_DigestSign(ctx, sig, &sigLen, reinterpret_cast<const unsigned char*>(msg.data()), msg.size()) == 1;
  EVP_MD_CTX_free(ctx);
  ctx = EVP_MD_CTX_new();
  ok = ok && EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
       EVP_DigestVerify(ctx, sig, sigLen, reinterpret_cast<const unsigned char*>(msg.data()), msg.size()) == 1;
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
  return ok;
}

TEST(CodePagesTest, LibcryptoGivesBackItsCodeAndKeepsWorking) {
  ASSERT_TRUE(signAndVerify());
  Resident before = libcryptoResident();
  ASSERT_GT(before.code, 0) << "libcrypto is not mapped in this test";

  Result<size_t> released = releaseReadOnlyPagesOf(EVP_sha256());
  ASSERT_TRUE(released.ok()) << released.status().fullDescription();
  EXPECT_GT(released.value(), size_t(1) << 20);  // libcrypto's code alone is megabytes
  Resident after = libcryptoResident();
  EXPECT_EQ(after.code, 0) << "code pages still mapped";
  EXPECT_LT(after.other, before.other);

  // Everything still runs, twice (the second time on what the first
  // brought back), with the results of before.
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(hexSha256("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_TRUE(signAndVerify());
    ASSERT_TRUE(releaseReadOnlyPagesOf(EVP_sha256()).ok());
  }
}

int someCodeOfThisProgram(int x) { return x * 3 + 1; }

TEST(CodePagesTest, ThisProgramItselfAndAnAddressOutsideAnyObject) {
  // The test's own code, unmapped while it runs, comes straight back.
  auto f = &someCodeOfThisProgram;
  ASSERT_TRUE(releaseReadOnlyPagesOf(reinterpret_cast<const void*>(f)).ok());
  EXPECT_EQ(f(4), 13);

  int onTheStack = 0;
  Result<size_t> none = releaseReadOnlyPagesOf(&onTheStack);
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.status().code(), ENOENT);
}

}  // namespace
}  // namespace ql::linux_backend
