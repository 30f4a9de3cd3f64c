#include "codesign/verifier.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "codesign/appended.h"
#include "codesign/chunk_hash.h"
#include "codesign/cms.h"
#include "codesign/identity.h"
#include "codesign/seal.h"
#include "codesign/sha256.h"
#include "codesign/worker_pool.h"

namespace qlsign {

namespace {

constexpr size_t kMaxManifestSize = size_t(64) << 20;

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(Fd&& o) noexcept {
    std::swap(fd_, o.fd_);
    return *this;
  }
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

// Reads a small regular file without following a final link.
Outcome readSmallFile(const std::string& path, size_t max, std::string* out) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (fd.get() < 0) return Outcome::failure(errno == ENOENT ? kNotFound : kMalformed, path + ": " + strerror(errno));
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return Outcome::failure(kMalformed, path + " is not a file");
  if (static_cast<uint64_t>(st.st_size) > max) return Outcome::failure(kMalformed, path + " is too large");
  std::string data(static_cast<size_t>(st.st_size), '\0');
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::pread(fd.get(), data.data() + done, data.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Outcome::failure(kInternal, "cannot read " + path);
    done += static_cast<size_t>(n);
  }
  *out = std::move(data);
  return Outcome::success();
}

// The blob's certificates, leaf first and each followed by its issuer.
std::vector<X509Ptr> orderedCertificates(const Bytes& blob, SignatureCache* cache) {
  std::vector<X509Ptr> out, all;
  X509Ptr leaf;
  if (!certificatesOfBlob(blob, &leaf, &all, cache)) return out;
  out.push_back(std::move(leaf));
  for (int guard = 0; guard < 8; ++guard) {
    X509* last = out.back().get();
    if (X509_check_issued(last, last) == X509_V_OK) break;  // self-signed
    X509* next = nullptr;
    for (const auto& candidate : all) {
      X509* c = candidate.get();
      if (X509_check_issued(c, last) == X509_V_OK) next = c;
    }
    if (!next) break;
    out.push_back(dupCert(next));
  }
  return out;
}

Outcome checkTeam(const CodeDirectory& cd, const VerifiedSignature& sig) {
  if (cd.teamIdentifier != teamOf(sig.chain.front().get()))
    return Outcome::failure(kSignatureFailed, "team identifier differs from the signing certificate");
  return Outcome::success();
}

Outcome prefix(Outcome o, const std::string& where) {
  if (!o.ok()) o.detail = where + ": " + o.detail;
  return o;
}

class CodeCheck {
 public:
  CodeCheck(std::string path, uint32_t flags, const TrustStore& trust, const ValidateOptions& options, bool nested)
      : path_(std::move(path)), flags_(flags), trust_(trust), options_(options), nested_(nested) {}

  const Bytes& cdhash() const { return cdhash_; }

  Outcome prepare(ChunkStream& jobs) {
    struct stat st;
    int rc = nested_ ? ::lstat(path_.c_str(), &st) : ::stat(path_.c_str(), &st);
    if (rc != 0) return Outcome::failure(errno == ENOENT ? kNotFound : kInternal, path_ + ": " + strerror(errno));
    if (S_ISDIR(st.st_mode)) return prepareBundle(jobs);
    if (S_ISREG(st.st_mode)) return prepareExecutable(jobs);
    return Outcome::failure(kUnsigned, path_ + " is neither a bundle nor a file");
  }

  Outcome finish(const Requirement* requirement) {
    Outcome o = bundle_ ? finishBundle() : finishExecutable();
    if (!o.ok()) return o;
    if (requirement) {
      RequirementContext ctx{cd_.identifier, cdhash_, &sig_.chain, trust_.isVendorAnchor(sig_.chain.back().get()),
                             trust_.isTrustedAnchor(sig_.chain.back().get())};
      if (!requirement->evaluate(ctx))
        return Outcome::failure(kRequirementFailed, path_ + " does not satisfy " + requirement->text());
    }
    return Outcome::success();
  }

 private:
  Outcome verifySignature(const std::string& cdBytes, const Bytes& blob, CodeDirectory::Kind kind) {
    Outcome o = verifyDetached(blob, cdBytes, trust_, options_.now, &sig_, options_.signatures);
    if (!o.ok()) return prefix(o, path_);
    o = decodeCodeDirectory(cdBytes, &cd_);
    if (!o.ok()) return prefix(o, path_);
    if (cd_.kind != kind) return Outcome::failure(kMalformed, path_ + ": code directory of the wrong kind");
    o = checkTeam(cd_, sig_);
    if (!o.ok()) return prefix(o, path_);
    cdhash_ = sha256(cdBytes);
    return Outcome::success();
  }

  Outcome prepareExecutable(ChunkStream& jobs) {
    fd_ = Fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (nested_ ? O_NOFOLLOW : 0)));
    if (fd_.get() < 0) return Outcome::failure(kInternal, path_ + ": " + strerror(errno));
    // The mode of the file that was opened, not of whatever the path names
    // by now; the same rule as for a file sealed in a bundle.
    struct stat st;
    if (::fstat(fd_.get(), &st) != 0 || !S_ISREG(st.st_mode))
      return Outcome::failure(kUnsigned, path_ + " is neither a bundle nor a file");
    if (const char* why = modeRefusal(ManifestEntry::Type::kFile, st.st_mode))
      return Outcome::failure(kResourceModified, path_ + " " + why);
    AppendedSignature appended;
    Outcome o = readAppendedSignature(fd_.get(), &appended);
    if (!o.ok()) return prefix(o, path_);
    o = verifySignature(appended.codeDirectory, appended.signature, CodeDirectory::Kind::kExecutable);
    if (!o.ok()) return o;
    if (cd_.payloadLength != appended.payloadLength)
      return Outcome::failure(kSignatureFailed, path_ + ": payload length differs from the signed one");
    payloadJobs_ = jobs.add(fd_.get(), path_, appended.payloadLength);
    return Outcome::success();
  }

  Outcome finishExecutable() {
    std::optional<size_t> bad = firstMismatch(payloadJobs_, cd_.payloadChunks);
    if (!bad) return Outcome::success();
    if (*bad < payloadJobs_.size() && !payloadJobs_[*bad]->ok)
      return Outcome::failure(kInternal, path_ + ": cannot read the payload");
    return Outcome::failure(kSignatureFailed, path_ + ": code has been modified since it was signed, in " +
                                                  describeChunk(*bad, cd_.payloadLength));
  }

  Outcome prepareBundle(ChunkStream& jobs) {
    bundle_ = true;
    const std::string sigDir = path_ + "/" + kSignatureDir;
    struct stat st;
    if (::lstat(sigDir.c_str(), &st) != 0) return Outcome::failure(kUnsigned, path_ + " is not signed");
    if (!S_ISDIR(st.st_mode)) return Outcome::failure(kMalformed, sigDir + " is not a folder");
    if (flags_ & kStrictValidate) {
      std::map<std::string, DiskEntry> sigEntries;
      Outcome o = walkTree(sigDir, {}, &sigEntries);
      if (!o.ok()) return o;
      for (const auto& [name, e] : sigEntries) {
        bool known = name == kCodeDirectoryFile || name == kManifestFile || name == kSignatureFile;
        if (!known || e.type != ManifestEntry::Type::kFile || e.other)
          return Outcome::failure(kResourceAdded, path_ + ": unexpected " + std::string(kSignatureDir) + "/" + name);
      }
    }
    std::string cdBytes, manifestBytes, blobText;
    Outcome o = readSmallFile(sigDir + "/" + kCodeDirectoryFile, kMaxCodeDirectorySize, &cdBytes);
    if (o.ok()) o = readSmallFile(sigDir + "/" + kSignatureFile, kMaxSignatureSize, &blobText);
    if (o.ok()) o = readSmallFile(sigDir + "/" + kManifestFile, kMaxManifestSize, &manifestBytes);
    if (!o.ok()) return Outcome::failure(o.code == kInternal ? kInternal : kMalformed, o.detail);
    Bytes blob(blobText.begin(), blobText.end());
    o = verifySignature(cdBytes, blob, CodeDirectory::Kind::kBundle);
    if (!o.ok()) return o;
    if (sha256(manifestBytes) != cd_.manifestHash)
      return Outcome::failure(kSignatureFailed, path_ + ": the manifest does not match the code directory");
    o = decodeManifest(manifestBytes, &manifest_);
    if (!o.ok()) return prefix(o, path_);
    o = checkCodeDirectoryEntries();
    if (!o.ok()) return o;

    std::vector<std::string> opaque;
    for (const auto& [rel, e] : manifest_)
      if (e.type == ManifestEntry::Type::kNested && e.nestedBundle) opaque.push_back(rel);
    // A sealed file's hash is queued as soon as the walk has seen it as the
    // regular file of the sealed size and mode: the workers hash while the
    // rest of the tree is listed, and nothing is opened that the walk has not
    // seen as a plain file. A file that does not match gets no job here and
    // is refused by the comparisons below, in manifest order as ever.
    auto queueMatchingFile = [&](const std::string& rel, const DiskEntry& d) {
      auto it = manifest_.find(rel);
      if (it == manifest_.end() || it->second.type != ManifestEntry::Type::kFile) return;
      if (!compareEntry(rel, it->second, d).ok()) return;
      fileJobs_[rel] = jobs.add(-1, path_ + "/" + rel, it->second.size);
    };
    std::map<std::string, DiskEntry> disk;
    o = walkTree(path_, opaque, &disk, queueMatchingFile);
    if (!o.ok()) return prefix(o, path_);

    // Cheap checks first: missing, changed type, mode or link, added.
    for (const auto& [rel, e] : manifest_) {
      auto it = disk.find(rel);
      if (it == disk.end()) return Outcome::failure(kResourceMissing, path_ + ": " + rel + " is missing");
      o = compareEntry(rel, e, it->second);
      if (!o.ok()) return o;
    }
    if (flags_ & kStrictValidate) {
      for (const auto& [rel, d] : disk)
        if (!manifest_.count(rel)) return Outcome::failure(kResourceAdded, path_ + ": " + rel + " is not sealed");
      for (const auto& [rel, e] : manifest_)
        if (e.type == ManifestEntry::Type::kSymlink && !linkStaysInside(path_, rel))
          return Outcome::failure(kResourceModified, path_ + ": link " + rel + " leads outside the bundle");
    }
    // Every sealed file passed compareEntry above against the entry the walk
    // handed to queueMatchingFile, so each has its job already; the check
    // here only keeps finishBundle's lookups total. Nested code is prepared
    // last: its signature check and walk run beside the hashing of this
    // bundle's files.
    for (const auto& [rel, e] : manifest_)
      if (e.type == ManifestEntry::Type::kFile && !fileJobs_.count(rel))
        fileJobs_[rel] = jobs.add(-1, path_ + "/" + rel, e.size);
    for (const auto& [rel, e] : manifest_) {
      if (e.type != ManifestEntry::Type::kNested) continue;
      o = prepareNested(rel, e, jobs);
      if (!o.ok()) return o;
    }
    return Outcome::success();
  }

  // The code directory names the main executable and Info.plist; the
  // manifest must seal them as plain files so their hashes are compared.
  Outcome checkCodeDirectoryEntries() {
    auto main = manifest_.find(cd_.mainExecutablePath);
    if (main == manifest_.end() || main->second.type != ManifestEntry::Type::kFile)
      return Outcome::failure(kMalformed, path_ + ": main executable not sealed as a file");
    auto info = manifest_.find("Contents/Info.plist");
    bool infoSealed = info != manifest_.end() && info->second.type == ManifestEntry::Type::kFile;
    if (infoSealed != cd_.infoPlistChunks.has_value())
      return Outcome::failure(kMalformed, path_ + ": Info.plist sealed inconsistently");
    return Outcome::success();
  }

  Outcome compareEntry(const std::string& rel, const ManifestEntry& e, const DiskEntry& d) {
    auto modified = [&](const std::string& why) {
      return Outcome::failure(kResourceModified, path_ + ": " + rel + " " + why);
    };
    if (d.other) return modified("is not a file, folder or link");
    // Nested code is held to the plain-file rule for its mode: it is a
    // file (or folder) of this bundle like any other.
    if (const char* why = modeRefusal(d.type, d.mode)) return modified(why);
    const bool ownerExec = (d.mode & S_IXUSR) != 0;
    switch (e.type) {
      case ManifestEntry::Type::kNested:
        if (d.type != (e.nestedBundle ? ManifestEntry::Type::kDirectory : ManifestEntry::Type::kFile))
          return Outcome::failure(kNestedInvalid, path_ + ": nested code " + rel + " has changed type");
        if (!e.nestedBundle && ownerExec != e.executable) return modified("has a changed execute bit");
        return Outcome::success();
      case ManifestEntry::Type::kFile:
        if (d.type != e.type) return modified("is no longer a file");
        if (ownerExec != e.executable) return modified("has a changed execute bit");
        if (d.size != e.size) return modified("has changed size");
        return Outcome::success();
      case ManifestEntry::Type::kDirectory:
        if (d.type != e.type) return modified("is no longer a folder");
        return Outcome::success();
      case ManifestEntry::Type::kSymlink:
        if (d.type != e.type) return modified("is no longer a link");
        if (d.target != e.target) return modified("points elsewhere");
        return Outcome::success();
    }
    return modified("is of an unknown type");
  }

  Outcome prepareNested(const std::string& rel, const ManifestEntry& e, ChunkStream& jobs) {
    Nested n;
    n.rel = rel;
    n.recorded = e.cdhash;
    std::string error;
    if (!Requirement::parse(e.requirement, &n.requirement, &error))
      return Outcome::failure(kMalformed, path_ + ": recorded requirement of " + rel + ": " + error);
    const std::string full = path_ + "/" + rel;
    if (flags_ & kCheckNestedCode) {
      // Kept before it is prepared: its jobs may already be running and read
      // its descriptor, which must stay open until the stream is done, also
      // when this nested code is refused below.
      n.check = std::make_unique<CodeCheck>(full, flags_, trust_, options_, true);
      CodeCheck& check = *n.check;
      nestedCode_.push_back(std::move(n));
      Outcome o = check.prepare(jobs);
      if (!o.ok()) return Outcome::failure(kNestedInvalid, o.detail + " (" + codeName(o.code) + ")");
      if (check.cdhash() != e.cdhash)
        return Outcome::failure(kNestedInvalid, full + " is not the nested code that was sealed");
      return Outcome::success();
    }
    // Without the flag, only the identity of the nested code is checked.
    SignatureInfo info;
    Outcome o = readSignature(full, &info, options_.signatures);
    if (!o.ok() || info.cdhash != e.cdhash)
      return Outcome::failure(kNestedInvalid, full + " is not the nested code that was sealed");
    nestedCode_.push_back(std::move(n));
    return Outcome::success();
  }

  Outcome finishBundle() {
    // The main executable and Info.plist are part of the code directory
    // itself: a change there is a change of the code, not of a resource.
    // checkCodeDirectoryEntries made sure both have jobs.
    auto sealedIn = [&](const std::string& rel, const ChunkDigests& sealed) -> std::string {
      std::optional<size_t> bad = firstMismatch(fileJobs_.at(rel), sealed);
      return bad ? ", in " + describeChunk(*bad, manifest_.at(rel).size) : "";
    };
    std::string where = sealedIn(cd_.mainExecutablePath, cd_.mainExecutableChunks);
    if (!where.empty())
      return Outcome::failure(kSignatureFailed, path_ + ": main executable modified since it was signed" + where);
    if (cd_.infoPlistChunks) {
      where = sealedIn("Contents/Info.plist", *cd_.infoPlistChunks);
      if (!where.empty())
        return Outcome::failure(kSignatureFailed, path_ + ": Info.plist modified since it was signed" + where);
    }
    for (const auto& [rel, jobs] : fileJobs_) {
      where = sealedIn(rel, manifest_.at(rel).chunks);
      if (!where.empty())
        return Outcome::failure(kResourceModified, path_ + ": " + rel + " modified since it was signed" + where);
    }
    for (auto& n : nestedCode_) {
      if (!n.check) continue;
      Outcome o = n.check->finish(&n.requirement);
      if (!o.ok()) return Outcome::failure(kNestedInvalid, o.detail + " (" + codeName(o.code) + ")");
    }
    return Outcome::success();
  }

  struct Nested {
    std::string rel;
    Bytes recorded;
    Requirement requirement;
    std::unique_ptr<CodeCheck> check;
  };

  std::string path_;
  uint32_t flags_;
  const TrustStore& trust_;
  const ValidateOptions& options_;
  bool nested_;
  bool bundle_ = false;
  Fd fd_;
  CodeDirectory cd_;
  Bytes cdhash_;
  VerifiedSignature sig_;
  Manifest manifest_;
  std::map<std::string, std::vector<ChunkJob*>> fileJobs_;
  std::vector<ChunkJob*> payloadJobs_;
  std::vector<Nested> nestedCode_;
};

}  // namespace

std::string teamOf(X509* leaf) {
  auto ous = subjectValues(leaf, "OU");
  return ous.empty() ? "" : ous.front();
}

Outcome validateCode(const std::string& path, uint32_t flags, const Requirement* requirement, const TrustStore& trust,
                     const ValidateOptions& options) {
  if (flags & ~(kCheckNestedCode | kStrictValidate)) return Outcome::failure(kInvalidFlags, "unknown flags");
  if (trust.empty()) return Outcome::failure(kUntrusted, "no trust anchors are configured");
  // Declared in this order so that, on every return, the stream (and with
  // it every running job) is done before the pool goes, and both before the
  // check's descriptors and paths that the jobs read.
  CodeCheck check(path, flags, trust, options, false);
  std::unique_ptr<WorkerPool> own;
  WorkerPool* pool = options.pool;
  if (!pool) {
    own = std::make_unique<WorkerPool>(0);
    pool = own.get();
  }
  ChunkStream jobs(*pool);
  Outcome o = check.prepare(jobs);
  if (!o.ok()) return o;
  jobs.finish();
  return check.finish(requirement);
}

Outcome readSignature(const std::string& path, SignatureInfo* out, SignatureCache* cache) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return Outcome::failure(kNotFound, path + ": " + strerror(errno));
  std::string cdBytes;
  Bytes blob;
  SignatureInfo info;
  if (S_ISDIR(st.st_mode)) {
    info.bundle = true;
    std::string sigDir = path + "/" + kSignatureDir, blobText;
    Outcome o = readSmallFile(sigDir + "/" + kCodeDirectoryFile, kMaxCodeDirectorySize, &cdBytes);
    if (o.ok()) o = readSmallFile(sigDir + "/" + kSignatureFile, kMaxSignatureSize, &blobText);
    if (!o.ok()) return Outcome::failure(o.code == kNotFound ? kUnsigned : o.code, o.detail);
    blob.assign(blobText.begin(), blobText.end());
  } else if (S_ISREG(st.st_mode)) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) return Outcome::failure(kInternal, path + ": " + strerror(errno));
    AppendedSignature appended;
    Outcome o = readAppendedSignature(fd.get(), &appended);
    if (!o.ok()) return prefix(o, path);
    cdBytes = std::move(appended.codeDirectory);
    blob = std::move(appended.signature);
  } else {
    return Outcome::failure(kUnsigned, path + " is neither a bundle nor a file");
  }
  CodeDirectory cd;
  Outcome o = decodeCodeDirectory(cdBytes, &cd);
  if (!o.ok()) return prefix(o, path);
  if ((cd.kind == CodeDirectory::Kind::kBundle) != info.bundle)
    return Outcome::failure(kMalformed, path + ": code directory of the wrong kind");
  info.identifier = cd.identifier;
  info.teamIdentifier = cd.teamIdentifier;
  info.cdhash = sha256(cdBytes);
  info.certificates = orderedCertificates(blob, cache);
  if (info.certificates.empty()) return Outcome::failure(kMalformed, path + ": no signer certificate in the signature");
  *out = std::move(info);
  return Outcome::success();
}

std::string deriveDesignatedRequirement(const std::string& identifier, X509* leaf, X509* issuer) {
  std::string r = "identifier " + quoteRequirementString(identifier);
  std::string team = teamOf(leaf);
  if (issuer && hasExtension(leaf, kDeveloperIdApplicationOid) && hasExtension(issuer, kDeveloperIdCaOid) &&
      !team.empty()) {
    return r + " and anchor apple generic and certificate 1[field." + kDeveloperIdCaOid +
           "] exists and certificate leaf[field." + kDeveloperIdApplicationOid +
           "] exists and certificate leaf[subject.OU] = " + quoteRequirementString(team);
  }
  auto cns = subjectValues(leaf, "CN");
  r += " and anchor trusted and certificate leaf[subject.CN] = " + quoteRequirementString(cns.empty() ? "" : cns[0]);
  if (!team.empty()) r += " and certificate leaf[subject.OU] = " + quoteRequirementString(team);
  return r;
}

Outcome designatedRequirement(const std::string& path, Requirement* out, SignatureCache* cache) {
  SignatureInfo info;
  Outcome o = readSignature(path, &info, cache);
  if (!o.ok()) return o;
  X509* issuer = info.certificates.size() > 1 ? info.certificates[1].get() : nullptr;
  std::string text = deriveDesignatedRequirement(info.identifier, info.certificates[0].get(), issuer);
  std::string error;
  if (!Requirement::parse(text, out, &error)) return Outcome::failure(kInternal, "derived requirement: " + error);
  return Outcome::success();
}

}  // namespace qlsign
