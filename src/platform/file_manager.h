// File-system services the launcher uses. Every path is a plain string; no
// call here normalises a path unless its contract says so.
//
// The access rule. The launcher works in folders that other programs can
// write (the home, ~/.quillmark, the bundle it was started from, the
// Applications folders, other running bundles), so any name may hold a link,
// a FIFO, a socket, a device, or be swapped between two calls. Every
// implementation of this interface keeps these, in every call:
// - An open never waits on what it finds: it is non-blocking and
//   close-on-exec, and the type is read with fstat on the descriptor before
//   a byte is read or written. A FIFO, socket or device is refused: a read
//   answers EINVAL, which each caller treats as the file being unreadable.
// - A final symbolic link is followed only where the call's contract says
//   so: the existence, executability and writability tests, resolvedPath,
//   readFile and contentsOfDirectory (reading and listing cannot change
//   what the link reaches). Every other call acts on the link itself.
// - A write that creates or empties a file never writes through what the
//   name holds: a link, FIFO, socket, device or a file with other hard
//   links is replaced by a new file renamed over the name, or the call
//   fails; nothing behind the name is touched.
// - Recursive removal and copy walk by descriptor, each entry named
//   relative to its open folder and opened without following links, so a
//   folder swapped for a link during the walk fails that step instead of
//   leading the walk into the link's target. Attribute changes act on a
//   descriptor whose type has been checked.
// - Every read is bounded: readFile takes the caller's limit.
// Links in the folders on the way to the final name are the caller's: the
// launcher's own home may legitimately be a link (a migrated data directory).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace ql {

// A writable byte sink: standard error, or a file opened for writing.
// Handles are compared by identity (the launcher asks "is my log still the
// standard-error handle?"), so a backend hands out one standard-error object.
class FileHandle {
 public:
  virtual ~FileHandle() = default;
  // Writes all of `bytes` or reports why not (a short write is an error).
  virtual Status write(std::string_view bytes) = 0;
  // The descriptor a child process may inherit as its stdout/stderr, or -1
  // for handles that exist only in memory (fakes).
  virtual int descriptor() const = 0;
};

// The type of a path itself, read without following a final symbolic link.
enum class EntryType { kNone, kRegular, kDirectory, kSymbolicLink, kOther };

class FileManager {
 public:
  virtual ~FileManager() = default;

  // --- Probes (never fail; a problem reads as "no") -----------------------
  // lstat: kNone when the attributes cannot be read (missing path included).
  virtual EntryType entryType(const std::string& path) = 0;
  // readlink: the stored text of a symbolic link; nullopt when `path` is no
  // link or cannot be read.
  virtual std::optional<std::string> linkText(const std::string& path) = 0;
  // Every symbolic link in `path` resolved, as resolving a file URL would:
  // the existing leading components are resolved, a missing tail is kept as
  // written, "." and ".." are folded. A relative path is taken against the
  // working directory.
  virtual std::string resolvedPath(const std::string& path) = 0;
  // stat (follows links).
  virtual bool fileExists(const std::string& path) = 0;
  virtual bool fileExists(const std::string& path, bool* isDirectory) = 0;
  virtual bool isExecutableFile(const std::string& path) = 0;
  virtual bool isWritableFile(const std::string& path) = 0;

  // --- Changes ------------------------------------------------------------
  virtual Status createDirectory(const std::string& path, bool withIntermediates) = 0;
  // Creates `path` empty, or empties an existing regular file. Whatever else
  // is at the name (a link, a FIFO, …) is replaced, never written through;
  // a directory fails.
  virtual Status createFile(const std::string& path) = 0;
  // Removes a directory with everything in it, or a link itself (never its
  // target), or a file.
  virtual Status removeItem(const std::string& path) = 0;
  // Recursive copy that keeps modes, symbolic links (as links) and user
  // extended attributes; `to` must not exist. FIFOs, sockets and devices
  // fail the copy (ENOTSUP).
  virtual Status copyItem(const std::string& from, const std::string& to) = 0;
  // Copies the regular file `from` (a final link is not followed: ELOOP) to
  // `to`, which must not exist. The copy's permission bits are the source's
  // limited to `allowed` from the moment it exists, so no other program can
  // open it through a bit it is not meant to have (a write descriptor taken
  // in that moment would outlive any later chmod).
  virtual Status copyFileLimitingPermissions(const std::string& from, const std::string& to,
                                             unsigned allowed) = 0;
  // POSIX rename(2): atomic, replaces a file or an empty directory at `to`.
  virtual Status rename(const std::string& from, const std::string& to) = 0;
  // Swaps two existing entries in one step (renameat2 RENAME_EXCHANGE);
  // ENOSYS/EINVAL where the file system cannot.
  virtual Status exchange(const std::string& a, const std::string& b) = 0;
  virtual Status createSymbolicLink(const std::string& path, const std::string& destination) = 0;
  // Clears or sets the user-immutable protection of `path` itself. Needs
  // privilege on Linux; reports the failure where it cannot.
  virtual Status setUserImmutable(const std::string& path, bool immutable) = 0;
  // Lists the names of the direct entries, hidden ones included.
  virtual Result<std::vector<std::string>> contentsOfDirectory(const std::string& path) = 0;

  // --- Contents -----------------------------------------------------------
  // Reads the whole regular file (following a final link); refuses (EFBIG)
  // one larger than `maxBytes`, and (EINVAL) a FIFO, socket or device.
  virtual Result<std::string> readFile(const std::string& path,
                                       size_t maxBytes = size_t(1) << 30) = 0;
  // Writes `data`, creating or emptying `path` as createFile does;
  // `atomically` writes a new temporary file beside it and renames it over
  // `path`, so a reader sees the old or the new contents (no fsync: it
  // promises atomicity, not durability across a power cut).
  virtual Status writeFile(const std::string& path, std::string_view data, bool atomically) = 0;

  // --- Handles ------------------------------------------------------------
  // Always the same object for the life of the file manager.
  virtual std::shared_ptr<FileHandle> standardError() = 0;
  // A write handle positioned at the start of an existing regular file that
  // is no link and has no other hard link, or nullptr.
  virtual std::shared_ptr<FileHandle> openForWriting(const std::string& path) = 0;
};

// Forwards every call to another file manager, so a test can override the
// one call it wants to fail and keep the real behaviour for the rest.
class ForwardingFileManager : public FileManager {
 public:
  explicit ForwardingFileManager(FileManager& target) : target_(target) {}
  FileManager& target() { return target_; }

  EntryType entryType(const std::string& p) override { return target_.entryType(p); }
  std::optional<std::string> linkText(const std::string& p) override { return target_.linkText(p); }
  std::string resolvedPath(const std::string& p) override { return target_.resolvedPath(p); }
  bool fileExists(const std::string& p) override { return target_.fileExists(p); }
  bool fileExists(const std::string& p, bool* d) override { return target_.fileExists(p, d); }
  bool isExecutableFile(const std::string& p) override { return target_.isExecutableFile(p); }
  bool isWritableFile(const std::string& p) override { return target_.isWritableFile(p); }
  Status createDirectory(const std::string& p, bool i) override { return target_.createDirectory(p, i); }
  Status createFile(const std::string& p) override { return target_.createFile(p); }
  Status removeItem(const std::string& p) override { return target_.removeItem(p); }
  Status copyItem(const std::string& a, const std::string& b) override { return target_.copyItem(a, b); }
  Status copyFileLimitingPermissions(const std::string& a, const std::string& b, unsigned allowed) override {
    return target_.copyFileLimitingPermissions(a, b, allowed);
  }
  Status rename(const std::string& a, const std::string& b) override { return target_.rename(a, b); }
  Status exchange(const std::string& a, const std::string& b) override { return target_.exchange(a, b); }
  Status createSymbolicLink(const std::string& p, const std::string& d) override {
    return target_.createSymbolicLink(p, d);
  }
  Status setUserImmutable(const std::string& p, bool v) override { return target_.setUserImmutable(p, v); }
  Result<std::vector<std::string>> contentsOfDirectory(const std::string& p) override {
    return target_.contentsOfDirectory(p);
  }
  Result<std::string> readFile(const std::string& p, size_t m) override { return target_.readFile(p, m); }
  Status writeFile(const std::string& p, std::string_view d, bool a) override {
    return target_.writeFile(p, d, a);
  }
  std::shared_ptr<FileHandle> standardError() override { return target_.standardError(); }
  std::shared_ptr<FileHandle> openForWriting(const std::string& p) override { return target_.openForWriting(p); }

 private:
  FileManager& target_;
};

}  // namespace ql
