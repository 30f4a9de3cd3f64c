// The appended signature of a standalone executable under mutation: every
// damaged or doubled signature must be refused, each with its own code.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "codesign/appended.h"
#include "codesign/signer.h"
#include "codesign/test_support.h"
#include "codesign/verifier.h"

namespace qlsign {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::vendorIdentity;
using testing::writeFile;

const std::string kPayload = "\x7f" "ELF pretend executable\n" + std::string(70000, 'p');

struct Signed {
  std::string path;
  std::string bytes;          // the whole signed file
  AppendedSignature layout;   // as parsed from the intact file
};

Signed signFresh(const TempDir& dir) {
  Signed s;
  s.path = dir.path() + "/tool";
  writeFile(s.path, kPayload, 0755);
  Outcome o = signExecutable(s.path, vendorIdentity().signer, SignOptions{"org.example.tool"});
  EXPECT_TRUE(o.ok()) << o.detail;
  s.bytes = readFile(s.path);
  int fd = ::open(s.path.c_str(), O_RDONLY);
  EXPECT_TRUE(readAppendedSignature(fd, &s.layout).ok());
  ::close(fd);
  return s;
}

void putBe32(std::string* bytes, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*bytes)[offset + i] = static_cast<char>(v >> (24 - 8 * i));
}

TEST(AppendedSignature, SignedExecutableValidatesAndKeepsItsMode) {
  TempDir dir;
  Signed s = signFresh(dir);
  EXPECT_EQ(s.layout.payloadLength, kPayload.size());
  EXPECT_EQ(s.bytes.compare(0, kPayload.size(), kPayload), 0);
  EXPECT_EQ(s.bytes.substr(s.bytes.size() - kAppendedMarker.size()), kAppendedMarker);
  EXPECT_EQ(::access(s.path.c_str(), X_OK), 0);
  Outcome o = validateCode(s.path, kStrictValidate | kCheckNestedCode, nullptr, vendorIdentity().trust());
  EXPECT_TRUE(o.ok()) << o.detail;
}

TEST(AppendedSignature, ResigningReplacesTheSignatureAndKeepsTheCdhash) {
  TempDir dir;
  Signed s = signFresh(dir);
  SignResult first, second;
  ASSERT_TRUE(signExecutable(s.path, vendorIdentity().signer, SignOptions{"org.example.tool"}, &first).ok());
  ASSERT_TRUE(signExecutable(s.path, vendorIdentity().signer, SignOptions{"org.example.tool"}, &second).ok());
  EXPECT_EQ(first.cdhash, second.cdhash);
  std::string bytes = readFile(s.path);
  // Exactly one marker in the file: the old signature was dropped.
  EXPECT_EQ(bytes.find(kAppendedMarker), bytes.size() - kAppendedMarker.size());
  SignatureInfo info;
  ASSERT_TRUE(readSignature(s.path, &info).ok());
  EXPECT_EQ(info.cdhash, first.cdhash);
  EXPECT_EQ(info.identifier, "org.example.tool");
  EXPECT_EQ(info.teamIdentifier, "T4K9PV2XQM");
}

struct Mutation {
  const char* name;
  std::function<void(std::string*, const AppendedSignature&)> apply;
  Code expected;
};

TEST(AppendedSignature, MutationTable) {
  const size_t T = kTrailerSize;
  const Mutation table[] = {
      {"payload byte flipped", [](std::string* b, const AppendedSignature&) { (*b)[100] ^= 1; }, kSignatureFailed},
      {"code directory byte flipped",
       [](std::string* b, const AppendedSignature& l) { (*b)[l.payloadLength + 5] ^= 1; }, kSignatureFailed},
      {"signature value byte flipped",
       [T](std::string* b, const AppendedSignature&) { (*b)[b->size() - T - 3] ^= 1; }, kSignatureFailed},
      {"truncated by one byte", [](std::string* b, const AppendedSignature&) { b->pop_back(); }, kUnsigned},
      {"payload truncated, signature kept",
       [](std::string* b, const AppendedSignature&) { b->erase(10, 1); }, kSignatureFailed},
      {"code directory length oversized",
       [T](std::string* b, const AppendedSignature&) { putBe32(b, b->size() - T + 4, 0x7fffffff); }, kMalformed},
      {"signature length beyond the file",
       [T](std::string* b, const AppendedSignature&) {
         putBe32(b, b->size() - T + 8, static_cast<uint32_t>(kMaxSignatureSize));
         b->erase(0, b->size() - T - 200);  // shrink so the length no longer fits
       },
       kMalformed},
      {"zero signature length",
       [T](std::string* b, const AppendedSignature&) { putBe32(b, b->size() - T + 8, 0); }, kMalformed},
      {"reserved u16 not zero", [T](std::string* b, const AppendedSignature&) { (*b)[b->size() - T + 3] = 1; },
       kMalformed},
      {"reserved u32 not zero",
       [T](std::string* b, const AppendedSignature&) { putBe32(b, b->size() - T + 12, 1); }, kMalformed},
      {"unknown version", [T](std::string* b, const AppendedSignature&) { (*b)[b->size() - T] = 2; }, kMalformed},
      {"unknown hash type", [T](std::string* b, const AppendedSignature&) { (*b)[b->size() - T + 1] = 9; },
       kMalformed},
      {"marker damaged", [](std::string* b, const AppendedSignature&) { (*b)[b->size() - 2] = 'X'; }, kUnsigned},
      {"bytes after the marker", [](std::string* b, const AppendedSignature&) { *b += "junk"; }, kUnsigned},
      {"two signatures",
       [](std::string* b, const AppendedSignature& l) { *b += b->substr(l.payloadLength); }, kMalformed},
      {"stripped binary",
       [](std::string* b, const AppendedSignature& l) { b->resize(l.payloadLength); }, kUnsigned},
      {"empty file", [](std::string* b, const AppendedSignature&) { b->clear(); }, kUnsigned},
  };
  TempDir dir;
  Signed s = signFresh(dir);
  for (const Mutation& m : table) {
    SCOPED_TRACE(m.name);
    std::string bytes = s.bytes;
    m.apply(&bytes, s.layout);
    std::string path = dir.path() + "/mutated";
    writeFile(path, bytes, 0755);
    Outcome o = validateCode(path, kStrictValidate | kCheckNestedCode, nullptr, vendorIdentity().trust());
    EXPECT_EQ(o.code, m.expected) << codeName(o.code) << ": " << o.detail;
  }
}

TEST(AppendedSignature, SigningRefusesAFileWithADamagedSignature) {
  TempDir dir;
  Signed s = signFresh(dir);
  std::string bytes = s.bytes;
  bytes[bytes.size() - kTrailerSize + 3] = 1;  // reserved field
  writeFile(s.path, bytes, 0755);
  Outcome o = signExecutable(s.path, vendorIdentity().signer, SignOptions{});
  EXPECT_EQ(o.code, kMalformed);
  EXPECT_EQ(readFile(s.path), bytes) << "a refused signing must leave the file alone";
}

}  // namespace
}  // namespace qlsign
