// The sealed layout itself: chunk digests (format 2), the refusal of older
// and unknown formats, and the one mode rule that signer and verifier share,
// over real signed bundles and executables.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <functional>

#include "codesign/appended.h"
#include "codesign/chunk_hash.h"
#include "codesign/cms.h"
#include "codesign/seal.h"
#include "codesign/sha256.h"
#include "codesign/signer.h"
#include "codesign/test_support.h"
#include "codesign/verifier.h"
#include "codesign/worker_pool.h"

namespace qlsign {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::vendorIdentity;
using testing::writeFile;
namespace fs = std::filesystem;

constexpr uint32_t kStrictNested = kStrictValidate | kCheckNestedCode;
const uint64_t C = kChunkSize;

// Bytes that differ from chunk to chunk, so a digest of the wrong slice
// can never match by accident.
std::string patterned(uint64_t size, unsigned seed) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (auto& c : s) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = static_cast<char>(x);
  }
  return s;
}

Manifest manifestOf(const std::string& bundle) {
  Manifest m;
  Outcome o = decodeManifest(readFile(bundle + "/" + kSignatureDir + "/" + kManifestFile), &m);
  EXPECT_TRUE(o.ok()) << o.detail;
  return m;
}

void flipByte(const std::string& path, uint64_t offset) {
  std::string s = readFile(path);
  s[offset] ^= 0x20;
  struct stat st;
  ::stat(path.c_str(), &st);
  writeFile(path, s, st.st_mode & 07777);
}

// ---- chunk jobs

TEST(ChunkJobs, SplitAtChunkBoundariesAndHashEachSlice) {
  TempDir dir;
  WorkerPool pool(3);
  for (uint64_t size : {uint64_t(0), uint64_t(1), C - 1, C, C + 1, 3 * C + 7}) {
    SCOPED_TRACE(size);
    std::string content = patterned(size, static_cast<unsigned>(size));
    std::string path = dir.path() + "/f" + std::to_string(size);
    writeFile(path, content);
    std::deque<ChunkJob> all;
    std::vector<ChunkJob*> jobs = addChunkJobs(all, -1, path, size);
    ASSERT_EQ(jobs.size(), chunkCount(size));
    hashChunkJobs(all, pool);
    uint64_t covered = 0;
    for (size_t i = 0; i < jobs.size(); ++i) {
      EXPECT_TRUE(jobs[i]->ok);
      EXPECT_EQ(jobs[i]->offset, covered);
      EXPECT_EQ(jobs[i]->digest, sha256(std::string_view(content).substr(covered, jobs[i]->length))) << i;
      covered += jobs[i]->length;
    }
    EXPECT_EQ(covered, size);
    // Up to one chunk, the seal's digest is the file's plain SHA-256.
    if (size > 0 && size <= C) {
      EXPECT_EQ(jobs[0]->digest, sha256(content));
    }
  }
}

TEST(ChunkJobs, AFileThatIsNoLongerWhatTheWalkSawFailsItsJobs) {
  struct Row {
    const char* name;
    std::function<void(const std::string&)> change;
  } table[] = {
      {"grew", [](const std::string& p) { writeFile(p, patterned(2 * C + 1, 1)); }},
      {"shrank", [](const std::string& p) { writeFile(p, patterned(2 * C - 1, 1)); }},
      {"replaced by a FIFO (must not block)",
       [](const std::string& p) {
         fs::remove(p);
         ::mkfifo(p.c_str(), 0644);
       }},
      {"replaced by a link to the same bytes",
       [](const std::string& p) {
         fs::rename(p, p + ".real");
         fs::create_symlink(p + ".real", p);
       }},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    std::string path = dir.path() + "/f";
    writeFile(path, patterned(2 * C, 1));
    std::deque<ChunkJob> all;
    std::vector<ChunkJob*> jobs = addChunkJobs(all, -1, path, 2 * C);
    row.change(path);
    WorkerPool pool(2);
    hashChunkJobs(all, pool);
    for (const ChunkJob* j : jobs) EXPECT_FALSE(j->ok);
  }
}

// The verifier queues a file's hash from the walk's callback, so the
// callback must report exactly what ends up in the walk's map: each entry
// once, with its recorded values, a folder before anything inside it, and
// nothing from inside an opaque folder or the signature folder.
TEST(TreeWalk, TheCallbackSeesEveryRecordedEntryOnceAndParentsFirst) {
  TempDir dir;
  const std::string b = dir.path() + "/B.app";
  for (const char* d :
       {"/Contents/Resources/web/a", "/Contents/Helpers/Inner.app/Contents", "/Contents/_CodeSignature"})
    testing::makeDirs(b + d);
  writeFile(b + "/Contents/Info.plist", "plist");
  writeFile(b + "/Contents/Resources/web/a/b.js", patterned(C + 3, 2));
  writeFile(b + "/Contents/Helpers/Inner.app/Contents/x", "inside an opaque folder");
  writeFile(b + "/Contents/_CodeSignature/CodeDirectory", "skipped");
  fs::create_symlink("web/a/b.js", b + "/Contents/Resources/link");
  ::mkfifo((b + "/Contents/Resources/pipe").c_str(), 0644);

  std::vector<std::pair<std::string, DiskEntry>> seen;
  std::map<std::string, DiskEntry> out;
  ASSERT_TRUE(walkTree(b, {"Contents/Helpers/Inner.app"}, &out,
                       [&](const std::string& rel, const DiskEntry& e) { seen.emplace_back(rel, e); })
                  .ok());

  ASSERT_EQ(seen.size(), out.size());
  std::map<std::string, size_t> position;
  for (size_t i = 0; i < seen.size(); ++i) {
    const auto& [rel, e] = seen[i];
    SCOPED_TRACE(rel);
    EXPECT_TRUE(position.emplace(rel, i).second) << "reported twice";
    ASSERT_TRUE(out.count(rel));
    EXPECT_EQ(e.type, out[rel].type);
    EXPECT_EQ(e.other, out[rel].other);
    EXPECT_EQ(e.size, out[rel].size);
    EXPECT_EQ(e.target, out[rel].target);
    size_t slash = rel.rfind('/');
    if (slash != std::string::npos) {
      ASSERT_TRUE(position.count(rel.substr(0, slash))) << "its folder was not reported before it";
    }
  }
  EXPECT_EQ(out["Contents/Resources/web/a/b.js"].size, C + 3);
  EXPECT_EQ(out["Contents/Resources/link"].target, "web/a/b.js");
  EXPECT_TRUE(out["Contents/Resources/pipe"].other);
  EXPECT_TRUE(out.count("Contents/Helpers/Inner.app"));
  EXPECT_FALSE(out.count("Contents/Helpers/Inner.app/Contents"));
  EXPECT_FALSE(out.count("Contents/_CodeSignature"));
  EXPECT_FALSE(out.count("Contents/_CodeSignature/CodeDirectory"));
}

// ---- the format

TEST(SealFormat, EncodedSealsDecodeToTheSameValues) {
  Manifest m;
  ManifestEntry big;
  big.size = 2 * C + 5;
  big.chunks = {Bytes(32, 1), Bytes(32, 2), Bytes(32, 3)};
  big.executable = true;
  m["Contents/Resources/big"] = big;
  ManifestEntry empty;
  m["Contents/Resources/empty"] = empty;
  ManifestEntry tool;
  tool.type = ManifestEntry::Type::kNested;
  tool.cdhash = Bytes(32, 9);
  tool.requirement = "identifier \"tool\"";
  tool.executable = true;
  m["Contents/Resources/bin/tool"] = tool;
  Manifest back;
  ASSERT_TRUE(decodeManifest(encodeManifest(m), &back).ok());
  EXPECT_EQ(back.at("Contents/Resources/big").chunks, big.chunks);
  EXPECT_TRUE(back.at("Contents/Resources/big").executable);
  EXPECT_TRUE(back.at("Contents/Resources/empty").chunks.empty());
  EXPECT_TRUE(back.at("Contents/Resources/bin/tool").executable);
  EXPECT_EQ(encodeManifest(back), encodeManifest(m));

  CodeDirectory cd;
  cd.kind = CodeDirectory::Kind::kExecutable;
  cd.identifier = "tool";
  cd.payloadLength = C + 1;
  cd.payloadChunks = {Bytes(32, 4), Bytes(32, 5)};
  CodeDirectory cdBack;
  ASSERT_TRUE(decodeCodeDirectory(encodeCodeDirectory(cd), &cdBack).ok());
  EXPECT_EQ(cdBack.payloadChunks, cd.payloadChunks);
  EXPECT_EQ(cdBack.payloadLength, C + 1);
}

TEST(SealFormat, MalformedOrForeignSealsAreRefusedWithAReason) {
  const std::string h(64, 'a');
  const std::string fileOk = R"({"type":"file","chunks":[")" + h + R"("],"size":5,"exec":false})";
  const std::string cdTail = R"(,"hashType":"sha256","identifier":"t","teamIdentifier":"T","kind":"executable",)"
                             R"("payload":{"length":5,"chunks":[")" + h + R"("]}})";
  struct Row {
    const char* name;
    bool manifest;  // else a code directory
    std::string bytes;
    const char* reason;  // must appear in the detail
  } table[] = {
      {"control: a good manifest", true, R"({"format":2,"entries":{"a":)" + fileOk + "}}", nullptr},
      {"control: a good code directory", false, R"({"format":2,"chunkSize":1048576)" + cdTail, nullptr},
      {"format 1 manifest", true,
       R"({"format":1,"entries":{"a":{"type":"file","sha256":")" + h + R"(","size":5,"exec":false}}})",
       "format 1"},
      {"format 1 code directory", false,
       R"({"format":1,"hashType":"sha256","identifier":"t","teamIdentifier":"T","kind":"executable",)"
       R"("payload":{"length":5,"sha256":")" + h + R"("}})",
       "re-sign"},
      {"a later format", false, R"({"format":3,"chunkSize":1048576)" + cdTail, "unknown seal format 3"},
      {"another chunk size", false, R"({"format":2,"chunkSize":4096)" + cdTail, "chunk size"},
      {"no chunk size", false, R"({"format":2)" + cdTail, "chunk size"},
      {"fewer chunks than the size needs", true,
       R"({"format":2,"entries":{"a":{"type":"file","chunks":[")" + h + R"("],"size":1048577,"exec":false}}})",
       "file entry a"},
      {"a chunk for an empty file", true,
       R"({"format":2,"entries":{"a":{"type":"file","chunks":[")" + h + R"("],"size":0,"exec":false}}})",
       "file entry a"},
      {"a short digest", true,
       R"({"format":2,"entries":{"a":{"type":"file","chunks":["abab"],"size":5,"exec":false}}})", "file entry a"},
      {"a whole-file hash in format 2", true,
       R"({"format":2,"entries":{"a":{"type":"file","sha256":")" + h + R"(","size":5,"exec":false}}})",
       "file entry a"},
      {"payload chunks missing one", false,
       R"({"format":2,"chunkSize":1048576,"hashType":"sha256","identifier":"t","teamIdentifier":"T",)"
       R"("kind":"executable","payload":{"length":1048577,"chunks":[")" + h + R"("]}})",
       "payload digests"},
      {"nested executable without its execute bit", true,
       R"({"format":2,"entries":{"t":{"type":"nested","kind":"executable","cdhash":")" + h +
           R"(","requirement":"x"}}})",
       "nested entry t"},
      {"nested bundle with an execute bit", true,
       R"({"format":2,"entries":{"t":{"type":"nested","kind":"bundle","cdhash":")" + h +
           R"(","requirement":"x","exec":true}}})",
       "nested entry t"},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.name);
    Outcome o;
    if (row.manifest) {
      Manifest m;
      o = decodeManifest(row.bytes, &m);
    } else {
      CodeDirectory cd;
      o = decodeCodeDirectory(row.bytes, &cd);
    }
    if (!row.reason) {
      EXPECT_TRUE(o.ok()) << o.detail;
      continue;
    }
    EXPECT_EQ(o.code, kMalformed);
    EXPECT_NE(o.detail.find(row.reason), std::string::npos) << o.detail;
  }
}

// A seal written by the format-1 signer, with a valid CMS signature over
// it: refused as malformed by name, never taken for a format-2 seal.
TEST(SealFormat, RealFormatOneSignaturesAreRefusedAsMalformed) {
  TempDir dir;
  const SigningIdentity& id = vendorIdentity().signer;
  std::string error;

  std::string tool = dir.path() + "/tool";
  std::string payload = "#!/bin/sh\necho old\n";
  std::string cd1 = R"({"format":1,"hashType":"sha256","identifier":"tool","kind":"executable",)"
                    R"("payload":{"length":)" + std::to_string(payload.size()) + R"(,"sha256":")" +
                    toHex(sha256(payload)) + R"("},"teamIdentifier":"T4K9PV2XQM"})";
  Bytes blob = signDetached(cd1, id, &error);
  ASSERT_FALSE(blob.empty()) << error;
  writeFile(tool, payload + composeAppendedSignature(cd1, blob), 0755);

  std::string b = testing::makeSampleBundle(dir.path());
  ASSERT_TRUE(signBundle(b, id, SignOptions{}).ok());
  std::string sig = b + "/" + kSignatureDir + "/";
  std::string plist = readFile(b + "/Contents/Info.plist"), main = readFile(b + "/Contents/MacOS/Sample");
  std::string manifest1 = R"({"entries":{},"format":1})";
  std::string bundleCd1 = R"({"format":1,"hashType":"sha256","identifier":"org.example.sample",)"
                          R"("infoPlist":{"sha256":")" + toHex(sha256(plist)) + R"("},"kind":"bundle",)"
                          R"("mainExecutable":{"path":"Contents/MacOS/Sample","sha256":")" + toHex(sha256(main)) +
                          R"("},"manifest":{"sha256":")" + toHex(sha256(manifest1)) +
                          R"("},"teamIdentifier":"T4K9PV2XQM"})";
  Bytes bundleBlob = signDetached(bundleCd1, id, &error);
  ASSERT_FALSE(bundleBlob.empty()) << error;
  writeFile(sig + kManifestFile, manifest1);
  writeFile(sig + kCodeDirectoryFile, bundleCd1);
  writeFile(sig + kSignatureFile, std::string(bundleBlob.begin(), bundleBlob.end()));

  for (const std::string& path : {tool, b}) {
    SCOPED_TRACE(path);
    Outcome o = validateCode(path, kStrictNested, nullptr, vendorIdentity().trust());
    EXPECT_EQ(o.code, kMalformed) << o.detail;
    EXPECT_NE(o.detail.find("format 1"), std::string::npos) << o.detail;
    SignatureInfo info;
    EXPECT_EQ(readSignature(path, &info).code, kMalformed);
  }
}

// ---- chunk digests in real seals

struct ChunkedBundle {
  std::string root;
  std::string big() const { return root + "/Contents/Resources/big.bin"; }
  std::string tool() const { return root + "/Contents/Resources/bin/tool"; }
  std::string main() const { return root + "/Contents/MacOS/Sample"; }
};

ChunkedBundle signedChunkedBundle(const TempDir& dir) {
  ChunkedBundle b{testing::makeSampleBundle(dir.path())};
  writeFile(b.big(), patterned(2 * C + C / 2, 7));
  writeFile(b.tool(), "#!/bin/sh\nexit 0\n#" + patterned(C + 100, 8), 0755);
  writeFile(b.main(), "#!/bin/sh\nexit 0\n#" + patterned(2 * C, 9), 0755);
  Outcome o = signBundle(b.root, vendorIdentity().signer, SignOptions{});
  EXPECT_TRUE(o.ok()) << o.detail;
  return b;
}

TEST(ChunkedSeal, EveryChunkOfEveryFileIsRecorded) {
  TempDir dir;
  ChunkedBundle b = signedChunkedBundle(dir);
  Manifest m = manifestOf(b.root);
  std::string big = readFile(b.big());
  const ManifestEntry& e = m.at("Contents/Resources/big.bin");
  ASSERT_EQ(e.chunks.size(), 3u);
  for (size_t i = 0; i < 3; ++i)
    EXPECT_EQ(e.chunks[i], sha256(std::string_view(big).substr(i * C, C))) << "chunk " << i;
  EXPECT_EQ(m.at("Contents/Resources/web/index.html").chunks,
            ChunkDigests{sha256(readFile(b.root + "/Contents/Resources/web/index.html"))});
  EXPECT_TRUE(m.at("Contents/Resources/bin/tool").executable);

  CodeDirectory cd;
  ASSERT_TRUE(decodeCodeDirectory(readFile(b.root + "/" + kSignatureDir + "/" + kCodeDirectoryFile), &cd).ok());
  EXPECT_EQ(cd.mainExecutableChunks, m.at("Contents/MacOS/Sample").chunks);
  EXPECT_EQ(cd.mainExecutableChunks.size(), 3u);  // 2 MiB and a header

  int fd = ::open(b.tool().c_str(), O_RDONLY);
  AppendedSignature appended;
  ASSERT_TRUE(readAppendedSignature(fd, &appended).ok());
  ::close(fd);
  CodeDirectory toolCd;
  ASSERT_TRUE(decodeCodeDirectory(appended.codeDirectory, &toolCd).ok());
  EXPECT_EQ(toolCd.payloadChunks.size(), 2u);
  EXPECT_EQ(toolCd.payloadChunks[1], sha256(std::string_view(readFile(b.tool())).substr(C, appended.payloadLength - C)));

  EXPECT_TRUE(validateCode(b.root, kStrictNested, nullptr, vendorIdentity().trust()).ok());
}

TEST(ChunkedSeal, AMismatchNamesItsChunk) {
  struct Row {
    const char* name;
    std::function<std::string(const ChunkedBundle&)> file;
    uint64_t offset;
    Code code;
    const char* where;
  } table[] = {
      {"resource, last chunk", &ChunkedBundle::big, 2 * C + 5, kResourceModified,
       "big.bin modified since it was signed, in chunk 3 of 3 (bytes 2097152-2621439)"},
      {"resource, first chunk", &ChunkedBundle::big, 0, kResourceModified, "in chunk 1 of 3 (bytes 0-1048575)"},
      {"main executable, middle chunk", &ChunkedBundle::main, C + 1, kSignatureFailed,
       "main executable modified since it was signed, in chunk 2 of 3"},
      {"nested executable, second chunk", &ChunkedBundle::tool, C + 3, kNestedInvalid,
       "code has been modified since it was signed, in chunk 2 of 2"},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    ChunkedBundle b = signedChunkedBundle(dir);
    flipByte(row.file(b), row.offset);
    Outcome o = validateCode(b.root, kStrictNested, nullptr, vendorIdentity().trust());
    EXPECT_EQ(o.code, row.code) << codeName(o.code) << ": " << o.detail;
    EXPECT_NE(o.detail.find(row.where), std::string::npos) << o.detail;
  }
}

// ---- the mode rule

TEST(ModeRule, SetIdAndStickyFilesCannotBeSignedWhateverSealsThem) {
  struct Row {
    const char* name;
    const char* rel;  // "" : a standalone executable
    unsigned mode;
  } table[] = {
      {"standalone set-uid", "", 04755},
      {"standalone set-gid", "", 02755},
      {"standalone sticky", "", 01755},
      {"nested executable set-uid", "Contents/Resources/bin/tool", 04755},
      {"nested executable set-gid", "Contents/Resources/bin/tool", 02755},
      {"main executable in a nested bundle set-uid", "Contents/Helpers/Helper.app/Contents/MacOS/Helper", 04755},
      {"plain file set-gid", "Contents/Resources/web/index.html", 02644},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    Outcome o;
    if (*row.rel == '\0') {
      std::string tool = dir.path() + "/tool";
      writeFile(tool, "#!/bin/sh\n", row.mode);
      o = signExecutable(tool, vendorIdentity().signer, SignOptions{});
      EXPECT_EQ(readFile(tool), "#!/bin/sh\n") << "refused, and left as it was";
    } else {
      std::string b = testing::makeSampleBundle(dir.path());
      ASSERT_EQ(::chmod((b + "/" + row.rel).c_str(), row.mode), 0);
      o = signBundle(b, vendorIdentity().signer, SignOptions{});
    }
    EXPECT_EQ(o.code, kInternal);
    EXPECT_NE(o.detail.find("has set-id or sticky bits"), std::string::npos) << o.detail;
  }
}

TEST(ModeRule, AStandaloneExecutableVerifiesUnderAStricterModeButNotSetId) {
  struct Row {
    unsigned mode;
    Code code;
  } table[] = {
      {0755, kOk},  {0700, kOk},  {0500, kOk}, {0400, kOk}, {0777, kOk},
      {04755, kResourceModified}, {02755, kResourceModified}, {01755, kResourceModified}, {06777, kResourceModified},
  };
  TempDir dir;
  std::string tool = dir.path() + "/tool";
  writeFile(tool, "#!/bin/sh\necho tool\n", 0755);
  ASSERT_TRUE(signExecutable(tool, vendorIdentity().signer, SignOptions{}).ok());
  for (const Row& row : table) {
    SCOPED_TRACE(row.mode);
    ASSERT_EQ(::chmod(tool.c_str(), row.mode), 0);
    Outcome o = validateCode(tool, 0, nullptr, vendorIdentity().trust());
    EXPECT_EQ(o.code, row.code) << o.detail;
  }
}

TEST(ModeRule, ABundleUnpackedUnderARestrictiveUmaskStillVerifies) {
  TempDir dir;
  std::string b = testing::makeSampleBundle(dir.path());
  ASSERT_TRUE(signBundle(b, vendorIdentity().signer, SignOptions{}).ok());
  // What `umask 077` and a read-only unpack leave: no group or other bits,
  // no owner write; the owner-execute bits unchanged. Folders last, so the
  // walk can still enter them while modes change.
  std::vector<fs::path> folders;
  for (const auto& e : fs::recursive_directory_iterator(b)) {
    if (e.is_symlink()) continue;
    struct stat st;
    ASSERT_EQ(::stat(e.path().c_str(), &st), 0);
    if (S_ISDIR(st.st_mode)) {
      folders.push_back(e.path());
    } else {
      ASSERT_EQ(::chmod(e.path().c_str(), (st.st_mode & S_IXUSR) ? 0500 : 0400), 0);
    }
  }
  for (const auto& f : folders) ASSERT_EQ(::chmod(f.c_str(), 0500), 0);
  Outcome o = validateCode(b, kStrictNested, nullptr, vendorIdentity().trust());
  EXPECT_TRUE(o.ok()) << o.detail;
}

}  // namespace
}  // namespace qlsign
