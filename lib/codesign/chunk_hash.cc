#include "codesign/chunk_hash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "codesign/sha256.h"
#include "codesign/worker_pool.h"

namespace qlsign {

std::vector<ChunkJob*> addChunkJobs(std::deque<ChunkJob>& all, int fd, const std::string& path, uint64_t size) {
  std::vector<ChunkJob*> mine;
  const uint64_t n = chunkCount(size);
  mine.reserve(static_cast<size_t>(n));
  for (uint64_t i = 0; i < n; ++i) {
    ChunkJob j;
    j.fd = fd;
    j.path = fd < 0 ? path : std::string();
    j.fileSize = size;
    j.offset = i * kChunkSize;
    j.length = std::min(kChunkSize, size - j.offset);
    all.push_back(std::move(j));
    mine.push_back(&all.back());
  }
  return mine;
}

namespace {

bool runJob(ChunkJob& j) {
  if (j.fd >= 0) {
    (void)::posix_fadvise(j.fd, static_cast<off_t>(j.offset), static_cast<off_t>(j.length), POSIX_FADV_SEQUENTIAL);
    return sha256Range(j.fd, j.offset, j.length, &j.digest);
  }
  // O_NONBLOCK: if a FIFO took the file's place, opening it must not wait
  // for a writer; the type check below then refuses it.
  int fd = ::open(j.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) == j.fileSize;
  if (ok) {
    (void)::posix_fadvise(fd, static_cast<off_t>(j.offset), static_cast<off_t>(j.length), POSIX_FADV_SEQUENTIAL);
    ok = sha256Range(fd, j.offset, j.length, &j.digest);
  }
  ::close(fd);
  return ok;
}

}  // namespace

void hashChunkJobs(std::deque<ChunkJob>& all, WorkerPool& pool) {
  std::vector<ChunkJob*> order;
  order.reserve(all.size());
  for (auto& j : all) order.push_back(&j);
  std::stable_sort(order.begin(), order.end(), [](const ChunkJob* a, const ChunkJob* b) { return a->length > b->length; });
  pool.run(order.size(), [&](size_t i) { order[i]->ok = runJob(*order[i]); });
}

ChunkStream::ChunkStream(WorkerPool& pool) : pool_(pool), worker_([this](size_t) { consume(); }) {
  // Every worker but the adding thread, which hashes only once it is done.
  pool_.start(pool_.parallelism() - 1, worker_);
}

ChunkStream::~ChunkStream() {
  if (finished_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = dropped_ = true;
    ready_.clear();
  }
  added_.notify_all();
  pool_.wait();
}

std::vector<ChunkJob*> ChunkStream::add(int fd, const std::string& path, uint64_t size) {
  std::vector<ChunkJob*> mine = addChunkJobs(jobs_, fd, path, size);
  if (mine.empty()) return mine;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ready_.insert(ready_.end(), mine.begin(), mine.end());
  }
  if (mine.size() == 1)
    added_.notify_one();
  else
    added_.notify_all();
  return mine;
}

void ChunkStream::consume() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    added_.wait(lock, [&] { return closed_ || !ready_.empty(); });
    if (dropped_ || ready_.empty()) return;  // closed and nothing left
    ChunkJob* j = ready_.front();
    ready_.pop_front();
    lock.unlock();
    j->ok = runJob(*j);
    lock.lock();
  }
}

void ChunkStream::finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  added_.notify_all();
  consume();
  pool_.wait();
  finished_ = true;
}

std::optional<size_t> firstMismatch(const std::vector<ChunkJob*>& jobs, const ChunkDigests& sealed) {
  size_t n = std::min(jobs.size(), sealed.size());
  for (size_t i = 0; i < n; ++i)
    if (!jobs[i]->ok || jobs[i]->digest != sealed[i]) return i;
  if (jobs.size() != sealed.size()) return n;
  return std::nullopt;
}

std::string describeChunk(size_t index, uint64_t size) {
  uint64_t first = uint64_t(index) * kChunkSize;
  uint64_t last = std::min(first + kChunkSize, std::max<uint64_t>(size, first + 1)) - 1;
  return "chunk " + std::to_string(index + 1) + " of " + std::to_string(chunkCount(size)) + " (bytes " +
         std::to_string(first) + "-" + std::to_string(last) + ")";
}

ChunkDigests digestsOf(const std::vector<ChunkJob*>& jobs) {
  ChunkDigests out;
  out.reserve(jobs.size());
  for (const ChunkJob* j : jobs) out.push_back(j->digest);
  return out;
}

}  // namespace qlsign
