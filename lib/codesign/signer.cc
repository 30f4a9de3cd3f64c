#include "codesign/signer.h"

#include <dirent.h>
#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <sstream>

#include "codesign/appended.h"
#include "codesign/chunk_hash.h"
#include "codesign/cms.h"
#include "codesign/seal.h"
#include "codesign/sha256.h"
#include "codesign/verifier.h"
#include "codesign/worker_pool.h"

namespace qlsign {

namespace {

Outcome fail(const std::string& what) { return Outcome::failure(kInternal, what); }

std::string baseName(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

bool readFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  *out = ss.str();
  return true;
}

// Writes `data` to `path` through a temporary file and a rename.
Outcome writeAtomically(const std::string& path, const std::string& data, mode_t mode) {
  std::string tmp = path + ".qlsign-tmp." + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return fail("cannot create " + tmp + ": " + strerror(errno));
  bool ok = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size()) && ::fchmod(fd, mode) == 0 &&
            ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    return fail("cannot write " + path + ": " + strerror(err));
  }
  return Outcome::success();
}

struct InfoPlist {
  std::string executable, identifier;
};

InfoPlist readInfoPlist(const std::string& bytes) {
  InfoPlist info;
  plist_t root = nullptr;
  if (bytes.empty() || bytes.size() > UINT32_MAX) return info;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  if (!root) return info;
  auto str = [&](const char* key) {
    std::string out;
    plist_t node = plist_get_node_type(root) == PLIST_DICT ? plist_dict_get_item(root, key) : nullptr;
    if (node && plist_get_node_type(node) == PLIST_STRING) {
      char* v = nullptr;
      plist_get_string_val(node, &v);
      if (v) out = v;
      free(v);
    }
    return out;
  };
  info.executable = str("CFBundleExecutable");
  info.identifier = str("CFBundleIdentifier");
  plist_free(root);
  return info;
}

Outcome signCodeDirectory(const CodeDirectory& cd, const SigningIdentity& id, std::string* cdBytes, Bytes* blob) {
  *cdBytes = encodeCodeDirectory(cd);
  std::string error;
  *blob = signDetached(*cdBytes, id, &error);
  if (blob->empty()) return fail(error);
  return Outcome::success();
}

void fillResult(SignResult* result, const std::string& cdBytes, const CodeDirectory& cd, const SigningIdentity& id) {
  if (!result) return;
  result->cdhash = sha256(cdBytes);
  result->designatedRequirement =
      deriveDesignatedRequirement(cd.identifier, id.leaf.get(), id.chain.empty() ? nullptr : id.chain[0].get());
}

}  // namespace

bool isValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t extra;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xe0) == 0xc0) {
      extra = 1, cp = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
      extra = 2, cp = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
      extra = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= s.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xc0) != 0x80) return false;
      cp = cp << 6 | (d & 0x3f);
    }
    static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    i += extra + 1;
  }
  return true;
}

std::vector<std::string> nestedCodePaths(const std::string& bundle) {
  std::vector<std::string> out;
  auto list = [&](const std::string& rel, bool wantDir) {
    DIR* dir = ::opendir((bundle + "/" + rel).c_str());
    if (!dir) return;
    while (dirent* d = ::readdir(dir)) {
      std::string name = d->d_name;
      if (name == "." || name == "..") continue;
      struct stat st;
      std::string childRel = rel + "/" + name;
      if (::lstat((bundle + "/" + childRel).c_str(), &st) != 0) continue;
      if (wantDir && S_ISDIR(st.st_mode) && name.size() > 4 && name.compare(name.size() - 4, 4, ".app") == 0)
        out.push_back(childRel);
      if (!wantDir && S_ISREG(st.st_mode)) out.push_back(childRel);
    }
    ::closedir(dir);
  };
  list("Contents/Helpers", true);
  list("Contents/Resources/bin", false);
  std::sort(out.begin(), out.end());
  return out;
}

Outcome signExecutable(const std::string& path, const SigningIdentity& id, const SignOptions& options,
                       SignResult* result) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return Outcome::failure(errno == ENOENT ? kNotFound : kInternal, path + ": " + strerror(errno));
  std::unique_ptr<int, void (*)(int*)> closer(&fd, [](int* f) { ::close(*f); });
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return fail(path + " is not a regular file");
  if (const char* why = modeRefusal(ManifestEntry::Type::kFile, st.st_mode)) return fail(path + " " + why);
  AppendedSignature existing;
  Outcome o = readAppendedSignature(fd, &existing);
  uint64_t payloadLength = static_cast<uint64_t>(st.st_size);
  if (o.ok()) {
    payloadLength = existing.payloadLength;  // re-signing replaces the old signature
  } else if (o.code != kUnsigned) {
    return Outcome::failure(o.code, path + ": existing signature is damaged (" + o.detail + "); refusing to sign");
  }
  if (payloadLength == 0) return fail(path + " is empty");
  CodeDirectory cd;
  cd.kind = CodeDirectory::Kind::kExecutable;
  cd.identifier = options.identifier.empty() ? baseName(path) : options.identifier;
  cd.teamIdentifier = teamOf(id.leaf.get());
  cd.payloadLength = payloadLength;
  {
    std::unique_ptr<WorkerPool> own;
    WorkerPool* pool = options.pool;
    if (!pool) {
      own = std::make_unique<WorkerPool>(0);
      pool = own.get();
    }
    std::deque<ChunkJob> jobs;
    std::vector<ChunkJob*> chunks = addChunkJobs(jobs, fd, path, payloadLength);
    hashChunkJobs(jobs, *pool);
    for (const ChunkJob* j : chunks)
      if (!j->ok) return fail("cannot read " + path);
    cd.payloadChunks = digestsOf(chunks);
  }
  std::string cdBytes;
  Bytes blob;
  o = signCodeDirectory(cd, id, &cdBytes, &blob);
  if (!o.ok()) return o;
  // The trailer bounds the code directory; one digest per MiB of payload
  // reaches that bound near 1 GiB.
  if (cdBytes.size() > kMaxCodeDirectorySize)
    return fail(path + " is too large to sign: its code directory would exceed " +
                std::to_string(kMaxCodeDirectorySize) + " bytes");
  std::string data(payloadLength, '\0');
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::pread(fd, data.data() + done, data.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail("cannot read " + path);
    done += static_cast<size_t>(n);
  }
  data += composeAppendedSignature(cdBytes, blob);
  o = writeAtomically(path, data, st.st_mode & 07777);
  if (!o.ok()) return o;
  fillResult(result, cdBytes, cd, id);
  return Outcome::success();
}

Outcome signBundle(const std::string& path, const SigningIdentity& id, const SignOptions& options,
                   SignResult* result) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return Outcome::failure(kNotFound, path + ": " + strerror(errno));
  if (!S_ISDIR(st.st_mode)) return fail(path + " is not a bundle folder");

  std::string infoBytes;
  bool hasInfo = ::lstat((path + "/Contents/Info.plist").c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                 readFile(path + "/Contents/Info.plist", &infoBytes);
  InfoPlist info = hasInfo ? readInfoPlist(infoBytes) : InfoPlist{};

  std::string mainRel = options.mainExecutable;
  if (mainRel.empty() && !info.executable.empty()) mainRel = "Contents/MacOS/" + info.executable;
  if (mainRel.empty()) {
    std::vector<std::string> candidates;
    if (DIR* dir = ::opendir((path + "/Contents/MacOS").c_str())) {
      while (dirent* d = ::readdir(dir)) {
        std::string rel = std::string("Contents/MacOS/") + d->d_name;
        if (::lstat((path + "/" + rel).c_str(), &st) == 0 && S_ISREG(st.st_mode)) candidates.push_back(rel);
      }
      ::closedir(dir);
    }
    if (candidates.size() != 1)
      return fail(path + ": cannot tell the main executable (set CFBundleExecutable or pass it explicitly)");
    mainRel = candidates[0];
  }
  if (!isCleanRelativePath(mainRel) || ::lstat((path + "/" + mainRel).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return fail(path + ": main executable " + mainRel + " is not a file in the bundle");

  std::unique_ptr<WorkerPool> own;
  WorkerPool* pool = options.pool;
  if (!pool) {
    own = std::make_unique<WorkerPool>(0);
    pool = own.get();
  }

  // Nested code first: the outer seal records what the nested signatures are.
  Manifest manifest;
  std::vector<std::string> nested = nestedCodePaths(path);
  for (const std::string& rel : nested) {
    SignOptions inner;
    inner.pool = pool;
    SignResult innerResult;
    ManifestEntry e;
    e.type = ManifestEntry::Type::kNested;
    ::lstat((path + "/" + rel).c_str(), &st);
    e.nestedBundle = S_ISDIR(st.st_mode);
    Outcome o = e.nestedBundle ? signBundle(path + "/" + rel, id, inner, &innerResult)
                               : signExecutable(path + "/" + rel, id, inner, &innerResult);
    if (!o.ok()) return o;
    // Re-read: signing an executable replaced the file (with the same mode).
    if (!e.nestedBundle) {
      if (::lstat((path + "/" + rel).c_str(), &st) != 0) return fail("cannot stat " + path + "/" + rel);
      e.executable = (st.st_mode & S_IXUSR) != 0;
    }
    e.cdhash = innerResult.cdhash;
    e.requirement = innerResult.designatedRequirement;
    manifest[rel] = e;
    if (result) result->nested.push_back(rel);
  }

  std::map<std::string, DiskEntry> disk;
  std::vector<std::string> opaque;
  for (const auto& rel : nested)
    if (manifest[rel].nestedBundle) opaque.push_back(rel);
  Outcome o = walkTree(path, opaque, &disk);
  if (!o.ok()) return o;
  std::vector<std::string> files;
  for (const auto& [rel, d] : disk) {
    // Nested code was signed above and is sealed by its record; its mode
    // falls under the same rule as every other entry.
    if (const char* why = modeRefusal(d.type, d.mode)) return fail(path + ": " + rel + " " + why);
    if (manifest.count(rel)) continue;
    if (!isValidUtf8(rel)) return fail(path + ": a name is not UTF-8 and cannot be sealed");
    if (d.other) return fail(path + ": " + rel + " is not a file, folder or link");
    ManifestEntry e;
    e.type = d.type;
    if (d.type == ManifestEntry::Type::kSymlink) {
      if (!linkStaysInside(path, rel)) return fail(path + ": link " + rel + " leads outside the bundle");
      if (!isValidUtf8(d.target)) return fail(path + ": link " + rel + " has a text that is not UTF-8");
      e.target = d.target;
    } else if (d.type == ManifestEntry::Type::kFile) {
      e.size = d.size;
      e.executable = (d.mode & S_IXUSR) != 0;
      files.push_back(rel);
    }
    manifest[rel] = e;
  }
  // Every chunk of every file is one task, so a large file is hashed on all
  // cores too. The map is not touched while the threads run.
  std::deque<ChunkJob> jobs;
  std::vector<std::vector<ChunkJob*>> fileChunks;
  for (const auto& rel : files) fileChunks.push_back(addChunkJobs(jobs, -1, path + "/" + rel, manifest.at(rel).size));
  hashChunkJobs(jobs, *pool);
  for (size_t i = 0; i < files.size(); ++i) {
    for (const ChunkJob* j : fileChunks[i])
      if (!j->ok) return fail("cannot read " + path + "/" + files[i] + " (or it changed while it was signed)");
    manifest.at(files[i]).chunks = digestsOf(fileChunks[i]);
  }

  CodeDirectory cd;
  cd.identifier = !options.identifier.empty() ? options.identifier
                  : !info.identifier.empty()  ? info.identifier
                                              : baseName(path).substr(0, baseName(path).rfind(".app"));
  cd.teamIdentifier = teamOf(id.leaf.get());
  cd.mainExecutablePath = mainRel;
  cd.mainExecutableChunks = manifest.at(mainRel).chunks;
  if (manifest.count("Contents/Info.plist") && manifest["Contents/Info.plist"].type == ManifestEntry::Type::kFile)
    cd.infoPlistChunks = manifest["Contents/Info.plist"].chunks;
  std::string manifestBytes = encodeManifest(manifest);
  cd.manifestHash = sha256(manifestBytes);
  std::string cdBytes;
  Bytes blob;
  o = signCodeDirectory(cd, id, &cdBytes, &blob);
  if (!o.ok()) return o;

  const std::string sigDir = path + "/" + kSignatureDir;
  if (::mkdir(sigDir.c_str(), 0755) != 0 && errno != EEXIST) return fail("cannot create " + sigDir);
  // Stale files from another signer would make strict validation fail.
  if (DIR* dir = ::opendir(sigDir.c_str())) {
    while (dirent* d = ::readdir(dir)) {
      std::string name = d->d_name;
      if (name != "." && name != ".." && name != kCodeDirectoryFile && name != kManifestFile && name != kSignatureFile)
        ::unlink((sigDir + "/" + name).c_str());
    }
    ::closedir(dir);
  }
  o = writeAtomically(sigDir + "/" + kManifestFile, manifestBytes, 0644);
  if (o.ok()) o = writeAtomically(sigDir + "/" + kCodeDirectoryFile, cdBytes, 0644);
  if (o.ok()) o = writeAtomically(sigDir + "/" + kSignatureFile, std::string(blob.begin(), blob.end()), 0644);
  if (!o.ok()) return o;
  fillResult(result, cdBytes, cd, id);
  return Outcome::success();
}

}  // namespace qlsign
