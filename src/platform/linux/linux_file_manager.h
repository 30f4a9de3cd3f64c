// The file manager on the real file system.
//
// Choices beyond the FileManager contract:
// - A path with an embedded NUL byte is refused (probes answer "no",
//   changes fail with EINVAL) instead of being cut short at the NUL.
// - readFile reads regular files only (EINVAL for FIFOs, sockets and
//   devices), so it can neither block on a FIFO nor read forever.
// - removeItem ignores trailing slashes, so "link/" removes the link.
// - createFile and a plain writeFile empty a regular file of ours in place;
//   anything else at the name is replaced (see openEmptiedForWriting in
//   file_handle.h). openForWriting refuses a file with other hard links.
// - copyItem tries a reflink (FICLONE), then copy_file_range, then reads
//   and writes, and carries user.* extended attributes only. The walk runs
//   on the calling thread; the contents of regular files are copied by
//   worker threads (one fewer than the processors this process may run on)
//   and by the walk itself when they fall behind. Every worker is joined
//   before copyItem returns.
// - setUserImmutable uses FS_IMMUTABLE_FL (FS_IOC_GETFLAGS/SETFLAGS) on
//   regular files and directories; it needs CAP_LINUX_IMMUTABLE and a file
//   system that keeps the flag, and reports ENOTSUP for other entry types.
// - rename over a large regular file frees the old file two seconds later
//   on a thread of its own (see deferred_release.h), not inside the call.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/file_manager.h"
#include "platform/linux/deferred_release.h"

namespace ql::linux_backend {

class LinuxFileManager : public FileManager {
 public:
  LinuxFileManager();

  EntryType entryType(const std::string& path) override;
  std::optional<std::string> linkText(const std::string& path) override;
  std::string resolvedPath(const std::string& path) override;
  bool fileExists(const std::string& path) override;
  bool fileExists(const std::string& path, bool* isDirectory) override;
  bool isExecutableFile(const std::string& path) override;
  bool isWritableFile(const std::string& path) override;
  Status createDirectory(const std::string& path, bool withIntermediates) override;
  Status createFile(const std::string& path) override;
  Status removeItem(const std::string& path) override;
  Status copyItem(const std::string& from, const std::string& to) override;
  Status copyFileLimitingPermissions(const std::string& from, const std::string& to, unsigned allowed) override;
  Status rename(const std::string& from, const std::string& to) override;
  Status exchange(const std::string& a, const std::string& b) override;
  Status createSymbolicLink(const std::string& path, const std::string& destination) override;
  Status setUserImmutable(const std::string& path, bool immutable) override;
  Result<std::vector<std::string>> contentsOfDirectory(const std::string& path) override;
  Result<std::string> readFile(const std::string& path, size_t maxBytes) override;
  Status writeFile(const std::string& path, std::string_view data, bool atomically) override;
  std::shared_ptr<FileHandle> standardError() override { return stderr_; }
  std::shared_ptr<FileHandle> openForWriting(const std::string& path) override;

  // Called by removeItem and copyItem with the path of each entry after its
  // type has been read and before it is opened: the window in which another
  // program could swap it. Tests use it to make that swap happen on cue.
  void setWalkObserverForTesting(std::function<void(const std::string& path)> observer) {
    walkObserver_ = std::move(observer);
  }

  // Returns once every file that rename replaced has been freed.
  void waitForDeferredReleases() { release_->drain(); }

  // Called by copyItem with the path of each regular source file right
  // before its contents are copied, on whichever thread copies them (a
  // worker or the walk), so it must be safe to call from several threads at
  // once. An answer other than OK fails that file's copy as a failed read or
  // write would. Tests use it to put an error where they want one.
  void setContentObserverForTesting(std::function<Status(const std::string& path)> observer) {
    contentObserver_ = std::move(observer);
  }

  // The number of worker threads copyItem starts, in place of one fewer than
  // the processors; 0 copies every file on the walking thread.
  void setCopyWorkersForTesting(unsigned workers) { copyWorkers_ = workers; }

 private:
  std::shared_ptr<FileHandle> stderr_;
  std::function<void(const std::string&)> walkObserver_;
  // Two seconds is far past the steps that follow a replacement in a launch
  // (the seed marker, the shell's start), and short enough that the old
  // file's space comes back while nobody waits for it.
  std::unique_ptr<DeferredRelease> release_ = std::make_unique<DeferredRelease>(std::chrono::seconds(2));
  std::function<Status(const std::string&)> contentObserver_;
  std::optional<unsigned> copyWorkers_;
};

// Folds "." and ".." and repeated slashes of an absolute path, textually.
std::string standardizePath(const std::string& path);

}  // namespace ql::linux_backend
