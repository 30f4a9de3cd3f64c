// The sealed description of a piece of code: the code directory (what the
// CMS signature covers) and, for a bundle, the manifest of its entries.
// Both are compact JSON with sorted keys, so identical content always gives
// identical bytes and the cdhash (SHA-256 of the code directory) is stable
// across re-signing.
#pragma once

#include <sys/types.h>

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

struct CodeDirectory {
  enum class Kind { kBundle, kExecutable };
  Kind kind = Kind::kBundle;
  std::string identifier;
  std::string teamIdentifier;
  // Bundle: the main executable's path and hash, Info.plist's hash (absent
  // when the bundle has none), the manifest's hash.
  std::string mainExecutablePath;
  Bytes mainExecutableHash;
  std::optional<Bytes> infoPlistHash;
  Bytes manifestHash;
  // Executable: the payload's length and hash.
  uint64_t payloadLength = 0;
  Bytes payloadHash;
};

std::string encodeCodeDirectory(const CodeDirectory& cd);
// Strict: unknown keys, wrong types or bad hashes are kMalformed.
Outcome decodeCodeDirectory(const std::string& bytes, CodeDirectory* out);

struct ManifestEntry {
  enum class Type { kFile, kDirectory, kSymlink, kNested };
  Type type = Type::kFile;
  Bytes hash;               // file
  uint64_t size = 0;        // file
  bool executable = false;  // file: the owner-execute bit
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

// Every entry below `root`, keyed by relative path ("a/b"). Directories in
// `opaque` are reported but not entered; `signatureDir` is skipped entirely.
Outcome walkTree(const std::string& root, const std::vector<std::string>& opaque,
                 std::map<std::string, DiskEntry>* out);

// True when the symbolic link at `rel` (relative to `root`), followed through
// every link it meets, stays inside `root`.
bool linkStaysInside(const std::string& root, const std::string& rel);

// True for a relative path with no empty, "." or ".." component.
bool isCleanRelativePath(const std::string& rel);

}  // namespace qlsign
