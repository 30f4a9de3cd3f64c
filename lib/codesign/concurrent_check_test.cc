// Checks that run at once share one trust store and one cache of parsed
// blobs, as the launcher's queues do: each must get its own answer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <ctime>
#include <filesystem>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "codesign/chunk_hash.h"
#include "codesign/sha256.h"
#include "codesign/signature_cache.h"
#include "codesign/signer.h"
#include "codesign/test_support.h"
#include "codesign/verifier.h"
#include "codesign/worker_pool.h"

namespace qlsign {
namespace {

using testing::TempDir;
using testing::vendorIdentity;
using testing::writeFile;
namespace fs = std::filesystem;

constexpr time_t kDay = 86400;
constexpr uint64_t C = kChunkSize;

std::string patterned(uint64_t size, unsigned seed) {
  std::string s(static_cast<size_t>(size), '\0');
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + i / 4093) & 0xff);
  return s;
}

// Workers take a batch started at once after the pool was made, without the
// starting thread's help; a thread slow to start must not miss it.
TEST(WorkerPool, WorkersTakeABatchStartedRightAfterConstruction) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    WorkerPool pool(2);
    std::mutex m;
    std::condition_variable cv;
    bool ran = false;
    std::thread::id runner;
    std::function<void(size_t)> task = [&](size_t) {
      std::lock_guard<std::mutex> lock(m);
      ran = true;
      runner = std::this_thread::get_id();
      cv.notify_all();
    };
    pool.start(1, task);
    {
      std::unique_lock<std::mutex> lock(m);
      // Generous: a liveness deadline on a loaded machine, not a timing.
      cv.wait_for(lock, std::chrono::seconds(20), [&] { return ran; });
      EXPECT_TRUE(ran) << "attempt " << attempt << ": no worker took the batch";
    }
    pool.wait();
    EXPECT_NE(runner, std::this_thread::get_id());
  }
}

// Each file's chunks, hashed by a stream while the next files are added,
// must carry the digests of their own slices, whatever the pool's size
// (one thread: nothing runs until finish()).
TEST(ChunkStream, EveryChunkAddedIsHashedFromItsOwnSlice) {
  TempDir dir;
  const uint64_t sizes[] = {0, 1, C - 1, C, C + 1, 3 * C + 7, 17, 2 * C};
  std::vector<std::string> contents;
  for (size_t f = 0; f < std::size(sizes); ++f) {
    contents.push_back(patterned(sizes[f], static_cast<unsigned>(f)));
    writeFile(dir.path() + "/f" + std::to_string(f), contents.back());
  }
  int fd = ::open((dir.path() + "/f5").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  for (unsigned threads : {1u, 2u, 4u}) {
    SCOPED_TRACE(threads);
    WorkerPool pool(threads);
    for (int round = 0; round < 2; ++round) {  // a pool serves one stream after another
      ChunkStream stream(pool);
      std::vector<std::vector<ChunkJob*>> jobs;
      for (size_t f = 0; f < std::size(sizes); ++f)
        jobs.push_back(stream.add(-1, dir.path() + "/f" + std::to_string(f), sizes[f]));
      // The same file once more through an open descriptor.
      jobs.push_back(stream.add(fd, dir.path() + "/f5", sizes[5]));
      contents.push_back(contents[5]);
      stream.finish();
      for (size_t f = 0; f < jobs.size(); ++f) {
        ASSERT_EQ(jobs[f].size(), chunkCount(contents[f].size())) << f;
        for (size_t i = 0; i < jobs[f].size(); ++i) {
          EXPECT_TRUE(jobs[f][i]->ok) << f << "/" << i;
          EXPECT_EQ(jobs[f][i]->digest, sha256(std::string_view(contents[f]).substr(i * C, jobs[f][i]->length)))
              << f << "/" << i;
        }
      }
      contents.pop_back();
    }
  }
  ::close(fd);
}

// An adding thread that gives up (an error found while walking) leaves
// through the stream's destructor with jobs queued and running: it must
// not return before the running ones are done with the memory and the
// descriptor they use, and the pool must be whole for the next stream.
TEST(ChunkStream, AStreamLeftUnfinishedStopsCleanlyAndThePoolServesTheNext) {
  TempDir dir;
  const std::string big = patterned(12 * C + 5, 3);
  writeFile(dir.path() + "/big", big);
  WorkerPool pool(3);
  for (int attempt = 0; attempt < 4; ++attempt) {
    int fd = ::open((dir.path() + "/big").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    {
      ChunkStream abandoned(pool);
      abandoned.add(fd, dir.path() + "/big", big.size());
      abandoned.add(-1, dir.path() + "/big", big.size());
      if (attempt % 2) std::this_thread::yield();
    }
    ::close(fd);  // no job may still read it
  }
  ChunkStream next(pool);
  std::vector<ChunkJob*> jobs = next.add(-1, dir.path() + "/big", big.size());
  next.finish();
  for (size_t i = 0; i < jobs.size(); ++i) {
    EXPECT_TRUE(jobs[i]->ok) << i;
    EXPECT_EQ(jobs[i]->digest, sha256(std::string_view(big).substr(i * C, jobs[i]->length))) << i;
  }
}

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
