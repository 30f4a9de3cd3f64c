// The sealed description of a piece of code: the code directory (what the
// CMS signature covers) and, for a bundle, the manifest of its entries.
// Both are compact JSON with sorted keys, so identical content always gives
// identical bytes and the cdhash (SHA-256 of the code directory) is stable
// across re-signing.
//
// Contents are sealed as the SHA-256 of each fixed-size chunk, not of whole
// files: one large file can then be hashed by every core at once, and a
// mismatch says where in the file it is. Format 1 sealed whole files; its
// seals are refused as malformed with a message that asks for a re-sign,
// never read as if they were the new layout.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "codesign/ossl.h"
#include "codesign/status.h"

namespace qlsign {

// Where a bundle keeps its signature, relative to the bundle root.
inline constexpr const char* kSignatureDir = "Contents/_CodeSignature";
inline constexpr const char* kCodeDirectoryFile = "CodeDirectory";
inline constexpr const char* kManifestFile = "CodeResources";
inline constexpr const char* kSignatureFile = "CodeSignature";

// The format this library writes and the only one it reads.
inline constexpr int kSealFormat = 2;
// Chunk size of format 2. A file of n bytes has ceil(n / kChunkSize) chunks
// (an empty file none); a file up to one chunk long is sealed by its plain
// SHA-256, so `sha256sum` agrees with the seal for every small file.
inline constexpr uint64_t kChunkSize = uint64_t(1) << 20;
uint64_t chunkCount(uint64_t size);
// The digest of chunk i, in order.
using ChunkDigests = std::vector<Bytes>;

struct CodeDirectory {
  enum class Kind { kBundle, kExecutable };
  Kind kind = Kind::kBundle;
  std::string identifier;
  std::string teamIdentifier;
  // Bundle: the main executable's path and chunk digests, Info.plist's
  // chunk digests (absent when the bundle has none), the manifest's hash
  // (the manifest is read whole, so it is hashed whole).
  std::string mainExecutablePath;
  ChunkDigests mainExecutableChunks;
  std::optional<ChunkDigests> infoPlistChunks;
  Bytes manifestHash;
  // Executable: the payload's length and chunk digests.
  uint64_t payloadLength = 0;
  ChunkDigests payloadChunks;
};

std::string encodeCodeDirectory(const CodeDirectory& cd);
// Strict: unknown keys, wrong types or bad hashes are kMalformed.
Outcome decodeCodeDirectory(const std::string& bytes, CodeDirectory* out);

struct ManifestEntry {
  enum class Type { kFile, kDirectory, kSymlink, kNested };
  Type type = Type::kFile;
  ChunkDigests chunks;      // file
  uint64_t size = 0;        // file
  bool executable = false;  // file, nested executable: the owner-execute bit
  std::string target;       // symlink text
  bool nestedBundle = false;  // nested: a bundle directory, else an executable
  Bytes cdhash;             // nested
  std::string requirement;  // nested: its designated requirement
};
using Manifest = std::map<std::string, ManifestEntry>;

std::string encodeManifest(const Manifest& m);
Outcome decodeManifest(const std::string& bytes, Manifest* out);

// One entry found on disk, read without following symbolic links.
struct DiskEntry {
  ManifestEntry::Type type = ManifestEntry::Type::kFile;  // kNested never
  bool other = false;        // a device, socket or FIFO
  mode_t mode = 0;
  uint64_t size = 0;
  std::string target;
};

// The one mode rule, for every entry whatever seals it: a plain file, the
// main executable, nested code and a standalone executable alike. Signer and
// verifier both apply it, so what cannot be signed cannot verify either.
// Returns why `mode` is refused for an entry of `type`, or nullptr.
//  - A regular file may not carry set-uid, set-gid or sticky: on code they
//    would run it with another identity, and nothing in a bundle needs them.
//  - A folder's mode is not sealed: set-gid on a folder only passes its group
//    on to new entries and is inherited from the folder a bundle is unpacked
//    in; it gives no rights.
// The owner-execute bit of files and nested executables is recorded instead
// (ManifestEntry::executable). Every other permission bit is free, so a
// stricter mode than signed (0700 or 0500 for 0755 after a restrictive
// umask) still verifies; group and other write bits are not sealed either.
const char* modeRefusal(ManifestEntry::Type type, mode_t mode);

// Every entry below `root`, keyed by relative path ("a/b"). Directories in
// `opaque` are reported but not entered; `signatureDir` is skipped entirely.
// `onEntry`, when given, is called with each entry as soon as it is recorded,
// parents before their children, so a caller can start work on what the walk
// has seen while it goes on.
using WalkCallback = std::function<void(const std::string& rel, const DiskEntry& entry)>;
Outcome walkTree(const std::string& root, const std::vector<std::string>& opaque,
                 std::map<std::string, DiskEntry>* out, const WalkCallback& onEntry = nullptr);

// True when the symbolic link at `rel` (relative to `root`), followed through
// every link it meets, stays inside `root`.
bool linkStaysInside(const std::string& root, const std::string& rel);

// True for a relative path with no empty, "." or ".." component.
bool isCleanRelativePath(const std::string& rel);

}  // namespace qlsign
