// Hashing sealed contents chunk by chunk on a worker pool: every chunk of
// every file is one task, so a single large file keeps every core busy as
// well as many small ones do.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "codesign/seal.h"

namespace qlsign {

class WorkerPool;

// One chunk of one file.
struct ChunkJob {
  // An open descriptor shared by the file's jobs, or -1: then the job opens
  // `path` itself (a final link is not followed) and requires a regular file
  // of exactly `fileSize` bytes, so a file that grew, shrank or was swapped
  // for something else since the walk fails here.
  int fd = -1;
  std::string path;
  uint64_t fileSize = 0;
  uint64_t offset = 0, length = 0;
  Bytes digest;
  bool ok = false;
};

// The jobs of one file's chunks, in order, appended to `all` (a deque, so
// the pointers stay valid while more are added).
std::vector<ChunkJob*> addChunkJobs(std::deque<ChunkJob>& all, int fd, const std::string& path, uint64_t size);

// Runs every job on `pool`, largest first, so that no long job starts last.
void hashChunkJobs(std::deque<ChunkJob>& all, WorkerPool& pool);

// Jobs hashed while more are still being found: the pool's workers take
// each file's chunks as soon as they are added, so hashing overlaps the walk
// of the tree, and the adding thread joins them in finish(). Chunks are at
// most kChunkSize, so the order they come in does not unbalance the threads.
//
// One thread adds and finishes; the pool runs nothing else meanwhile.
// Whatever a job refers to (the descriptor it reads) must outlive the
// stream: the destructor of a stream that was not finished drops the jobs
// not yet started and waits for those running, so an early return of the
// adding thread leaves no job behind.
class ChunkStream {
 public:
  explicit ChunkStream(WorkerPool& pool);
  ~ChunkStream();
  ChunkStream(const ChunkStream&) = delete;
  ChunkStream& operator=(const ChunkStream&) = delete;

  // As addChunkJobs; the jobs may start before this returns. The pointers
  // stay valid for the stream's life; read a job only after finish().
  std::vector<ChunkJob*> add(int fd, const std::string& path, uint64_t size);

  // Hashes on the calling thread what is left and returns when every job
  // added has finished.
  void finish();

 private:
  void consume();

  WorkerPool& pool_;
  std::function<void(size_t)> worker_;
  std::deque<ChunkJob> jobs_;  // touched by the adding thread only
  std::mutex mutex_;
  std::condition_variable added_;
  std::deque<ChunkJob*> ready_;  // added, not yet taken
  bool closed_ = false;    // nothing more will be added
  bool dropped_ = false;   // what is not yet taken is never run
  bool finished_ = false;
};

// The first chunk of `jobs` that failed or differs from `sealed`; the count
// of jobs when only the lengths differ; nullopt when all match.
std::optional<size_t> firstMismatch(const std::vector<ChunkJob*>& jobs, const ChunkDigests& sealed);

// "chunk 3 of 60 (bytes 2097152-3145727)": where a mismatch is, for messages.
std::string describeChunk(size_t index, uint64_t size);

// The digests of finished jobs, in order (all must be ok).
ChunkDigests digestsOf(const std::vector<ChunkJob*>& jobs);

}  // namespace qlsign
