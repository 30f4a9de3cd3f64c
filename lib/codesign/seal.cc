#include "codesign/seal.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

namespace qlsign {

using nlohmann::json;

namespace {

std::string dump(const json& j) {
  // Names that are not UTF-8 cannot be sealed; the signer checks first, and
  // this replacement only keeps a hostile manifest from throwing.
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool getHash(const json& j, const char* key, Bytes* out) {
  auto it = j.find(key);
  return it != j.end() && it->is_string() && fromHex(it->get<std::string>(), out) && out->size() == 32;
}

json chunksJson(const ChunkDigests& chunks) {
  json a = json::array();
  for (const Bytes& c : chunks) a.push_back(toHex(c));
  return a;
}

// A list of 32-byte digests; `expected` (when given) is the count the size
// of the content calls for, so a list can never describe other bytes than
// it claims to.
bool getChunks(const json& j, const char* key, std::optional<uint64_t> expected, ChunkDigests* out) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_array()) return false;
  if (expected && it->size() != *expected) return false;
  ChunkDigests chunks;
  chunks.reserve(it->size());
  for (const json& c : *it) {
    Bytes h;
    if (!c.is_string() || !fromHex(c.get<std::string>(), &h) || h.size() != 32) return false;
    chunks.push_back(std::move(h));
  }
  *out = std::move(chunks);
  return true;
}

bool onlyKeys(const json& j, std::initializer_list<const char*> keys) {
  if (!j.is_object()) return false;
  for (auto it = j.begin(); it != j.end(); ++it) {
    bool known = false;
    for (const char* k : keys) known = known || it.key() == k;
    if (!known) return false;
  }
  return true;
}

bool getString(const json& j, const char* key, std::string* out) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_string()) return false;
  *out = it->get<std::string>();
  return true;
}

}  // namespace

std::string encodeCodeDirectory(const CodeDirectory& cd) {
  json j;
  j["format"] = kSealFormat;
  j["hashType"] = "sha256";
  j["chunkSize"] = kChunkSize;
  j["identifier"] = cd.identifier;
  j["teamIdentifier"] = cd.teamIdentifier;
  if (cd.kind == CodeDirectory::Kind::kBundle) {
    j["kind"] = "bundle";
    j["mainExecutable"] = {{"path", cd.mainExecutablePath}, {"chunks", chunksJson(cd.mainExecutableChunks)}};
    j["infoPlist"] = cd.infoPlistChunks ? json{{"chunks", chunksJson(*cd.infoPlistChunks)}} : json(nullptr);
    j["manifest"] = {{"sha256", toHex(cd.manifestHash)}};
  } else {
    j["kind"] = "executable";
    j["payload"] = {{"length", cd.payloadLength}, {"chunks", chunksJson(cd.payloadChunks)}};
  }
  return dump(j);
}

namespace {

// json::value() throws when the member has another type; a seal is input
// from disk, so every member is type-checked instead. An integer format
// other than ours is named in the message: a seal from an older signer is
// the likely case, and re-signing is the remedy.
std::optional<std::string> formatProblem(const json& j) {
  auto it = j.find("format");
  if (it == j.end() || !it->is_number_integer()) return std::string("no format number");
  if (*it == kSealFormat) return std::nullopt;
  std::string n = it->dump();
  if (*it == 1) return "seal format 1 (whole-file hashes) is no longer accepted; re-sign with this ql-codesign";
  return "unknown seal format " + n + " (this library reads format " + std::to_string(kSealFormat) + ")";
}

}  // namespace

uint64_t chunkCount(uint64_t size) { return size / kChunkSize + (size % kChunkSize != 0); }

Outcome decodeCodeDirectory(const std::string& bytes, CodeDirectory* out) {
  json j = json::parse(bytes, nullptr, false);
  auto bad = [](const char* what) { return Outcome::failure(kMalformed, std::string("code directory: ") + what); };
  if (j.is_discarded() || !j.is_object()) return bad("not a JSON object");
  if (auto problem = formatProblem(j)) return bad(problem->c_str());
  auto hashType = j.find("hashType");
  if (hashType == j.end() || *hashType != "sha256") return bad("unknown hash type");
  auto chunkSize = j.find("chunkSize");
  if (chunkSize == j.end() || !chunkSize->is_number_unsigned() || *chunkSize != kChunkSize)
    return bad("unknown chunk size");
  CodeDirectory cd;
  std::string kind;
  if (!getString(j, "kind", &kind) || !getString(j, "identifier", &cd.identifier) ||
      !getString(j, "teamIdentifier", &cd.teamIdentifier) || cd.identifier.empty())
    return bad("identifier, team or kind missing");
  if (kind == "bundle") {
    if (!onlyKeys(j, {"format", "hashType", "chunkSize", "identifier", "teamIdentifier", "kind", "mainExecutable",
                      "infoPlist", "manifest"}))
      return bad("unknown key");
    // The size of these two files is in the manifest, so the chunk count
    // is checked there: a code directory that disagrees fails as a mismatch.
    const json& main = j["mainExecutable"];
    if (!main.is_object() || !onlyKeys(main, {"path", "chunks"}) || !getString(main, "path", &cd.mainExecutablePath) ||
        !getChunks(main, "chunks", std::nullopt, &cd.mainExecutableChunks) ||
        !isCleanRelativePath(cd.mainExecutablePath))
      return bad("main executable");
    const json& info = j["infoPlist"];
    if (info.is_object()) {
      ChunkDigests chunks;
      if (!onlyKeys(info, {"chunks"}) || !getChunks(info, "chunks", std::nullopt, &chunks))
        return bad("Info.plist digests");
      cd.infoPlistChunks = std::move(chunks);
    } else if (!info.is_null()) {
      return bad("Info.plist digests");
    }
    if (!j["manifest"].is_object() || !onlyKeys(j["manifest"], {"sha256"}) ||
        !getHash(j["manifest"], "sha256", &cd.manifestHash))
      return bad("manifest hash");
  } else if (kind == "executable") {
    cd.kind = CodeDirectory::Kind::kExecutable;
    if (!onlyKeys(j, {"format", "hashType", "chunkSize", "identifier", "teamIdentifier", "kind", "payload"}))
      return bad("unknown key");
    const json& p = j["payload"];
    if (!p.is_object() || !onlyKeys(p, {"length", "chunks"}) || !p.contains("length") ||
        !p["length"].is_number_unsigned())
      return bad("payload");
    cd.payloadLength = p["length"].get<uint64_t>();
    if (!getChunks(p, "chunks", chunkCount(cd.payloadLength), &cd.payloadChunks)) return bad("payload digests");
  } else {
    return bad("unknown kind");
  }
  *out = std::move(cd);
  return Outcome::success();
}

std::string encodeManifest(const Manifest& m) {
  json entries = json::object();
  for (const auto& [path, e] : m) {
    json j;
    switch (e.type) {
      case ManifestEntry::Type::kFile:
        j = {{"type", "file"}, {"chunks", chunksJson(e.chunks)}, {"size", e.size}, {"exec", e.executable}};
        break;
      case ManifestEntry::Type::kDirectory: j = {{"type", "dir"}}; break;
      case ManifestEntry::Type::kSymlink: j = {{"type", "symlink"}, {"target", e.target}}; break;
      case ManifestEntry::Type::kNested:
        j = {{"type", "nested"}, {"kind", e.nestedBundle ? "bundle" : "executable"}, {"cdhash", toHex(e.cdhash)},
             {"requirement", e.requirement}};
        if (!e.nestedBundle) j["exec"] = e.executable;
        break;
    }
    entries[path] = j;
  }
  return dump(json{{"format", kSealFormat}, {"entries", entries}});
}

Outcome decodeManifest(const std::string& bytes, Manifest* out) {
  json j = json::parse(bytes, nullptr, false);
  auto bad = [](const std::string& what) { return Outcome::failure(kMalformed, "manifest: " + what); };
  if (j.is_discarded() || !onlyKeys(j, {"format", "entries"})) return bad("not a manifest");
  if (auto problem = formatProblem(j)) return bad(*problem);
  if (!j.contains("entries") || !j["entries"].is_object()) return bad("not a manifest");
  Manifest m;
  for (auto it = j["entries"].begin(); it != j["entries"].end(); ++it) {
    const std::string& path = it.key();
    const json& v = it.value();
    if (!isCleanRelativePath(path)) return bad("unsafe path " + path);
    ManifestEntry e;
    std::string type;
    if (!getString(v, "type", &type)) return bad("entry without type: " + path);
    if (type == "file") {
      if (!onlyKeys(v, {"type", "chunks", "size", "exec"}) || !v.contains("size") || !v["size"].is_number_unsigned() ||
          !v.contains("exec") || !v["exec"].is_boolean())
        return bad("file entry " + path);
      e.size = v["size"].get<uint64_t>();
      e.executable = v["exec"].get<bool>();
      if (!getChunks(v, "chunks", chunkCount(e.size), &e.chunks)) return bad("file entry " + path);
    } else if (type == "dir") {
      if (!onlyKeys(v, {"type"})) return bad("directory entry " + path);
      e.type = ManifestEntry::Type::kDirectory;
    } else if (type == "symlink") {
      if (!onlyKeys(v, {"type", "target"}) || !getString(v, "target", &e.target)) return bad("link entry " + path);
      e.type = ManifestEntry::Type::kSymlink;
    } else if (type == "nested") {
      std::string kind;
      if (!getString(v, "kind", &kind) || (kind != "bundle" && kind != "executable") ||
          !getHash(v, "cdhash", &e.cdhash) || !getString(v, "requirement", &e.requirement))
        return bad("nested entry " + path);
      e.type = ManifestEntry::Type::kNested;
      e.nestedBundle = kind == "bundle";
      // A nested executable is a file: its execute bit is sealed as a plain
      // file's is. A nested bundle is a folder and has none.
      if (e.nestedBundle) {
        if (!onlyKeys(v, {"type", "kind", "cdhash", "requirement"})) return bad("nested entry " + path);
      } else {
        if (!onlyKeys(v, {"type", "kind", "cdhash", "requirement", "exec"}) || !v.contains("exec") ||
            !v["exec"].is_boolean())
          return bad("nested entry " + path);
        e.executable = v["exec"].get<bool>();
      }
    } else {
      return bad("unknown entry type " + type);
    }
    m.emplace(path, std::move(e));
  }
  *out = std::move(m);
  return Outcome::success();
}

bool isCleanRelativePath(const std::string& rel) {
  if (rel.empty() || rel[0] == '/') return false;
  size_t start = 0;
  while (start <= rel.size()) {
    size_t slash = rel.find('/', start);
    std::string c = rel.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (c.empty() || c == "." || c == ".." || c.find('\0') != std::string::npos) return false;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return true;
}

const char* modeRefusal(ManifestEntry::Type type, mode_t mode) {
  if (type == ManifestEntry::Type::kFile && (mode & (S_ISUID | S_ISGID | S_ISVTX)))
    return "has set-id or sticky bits";
  return nullptr;
}

namespace {

Outcome walkInto(const std::string& root, const std::string& rel, const std::vector<std::string>& opaque,
                 std::map<std::string, DiskEntry>* out, const WalkCallback& onEntry) {
  std::string dirPath = rel.empty() ? root : root + "/" + rel;
  DIR* dir = ::opendir(dirPath.c_str());
  if (!dir) return Outcome::failure(kInternal, "cannot list " + dirPath + ": " + strerror(errno));
  std::vector<std::string> names;
  while (dirent* d = ::readdir(dir)) {
    std::string name = d->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  ::closedir(dir);
  for (const std::string& name : names) {
    std::string childRel = rel.empty() ? name : rel + "/" + name;
    if (childRel == kSignatureDir) continue;
    std::string full = root + "/" + childRel;
    struct stat st;
    if (::lstat(full.c_str(), &st) != 0) return Outcome::failure(kInternal, "cannot stat " + full);
    DiskEntry e;
    e.mode = st.st_mode;
    if (S_ISREG(st.st_mode)) {
      e.type = ManifestEntry::Type::kFile;
      e.size = static_cast<uint64_t>(st.st_size);
    } else if (S_ISDIR(st.st_mode)) {
      e.type = ManifestEntry::Type::kDirectory;
    } else if (S_ISLNK(st.st_mode)) {
      e.type = ManifestEntry::Type::kSymlink;
      std::vector<char> buf(static_cast<size_t>(st.st_size) + 2);
      ssize_t n = ::readlink(full.c_str(), buf.data(), buf.size());
      if (n < 0 || static_cast<size_t>(n) >= buf.size()) return Outcome::failure(kInternal, "cannot read link " + full);
      e.target.assign(buf.data(), static_cast<size_t>(n));
    } else {
      e.other = true;
    }
    bool isOpaque = false;
    for (const auto& o : opaque) isOpaque = isOpaque || o == childRel;
    const DiskEntry& recorded = (*out)[childRel] = std::move(e);
    if (onEntry) onEntry(childRel, recorded);
    if (recorded.type == ManifestEntry::Type::kDirectory && !recorded.other && !isOpaque) {
      Outcome o = walkInto(root, childRel, opaque, out, onEntry);
      if (!o.ok()) return o;
    }
  }
  return Outcome::success();
}

}  // namespace

Outcome walkTree(const std::string& root, const std::vector<std::string>& opaque,
                 std::map<std::string, DiskEntry>* out, const WalkCallback& onEntry) {
  out->clear();
  return walkInto(root, "", opaque, out, onEntry);
}

bool linkStaysInside(const std::string& root, const std::string& rel) {
  // Resolve as the kernel would, one component at a time, but against the
  // bundle root: a component that is itself a link is expanded in place, and
  // leaving the root at any point (an absolute text, ".." above the root)
  // counts as outside even if a later step would come back in.
  std::vector<std::string> resolved;  // components below root
  std::vector<std::string> pending;   // components still to walk, reversed
  auto pushText = [&](const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
      size_t slash = text.find('/', start);
      std::string c = text.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
      if (!c.empty()) parts.push_back(c);
      if (slash == std::string::npos) break;
      start = slash + 1;
    }
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) pending.push_back(*it);
  };
  // Start in the link's own directory with its text.
  std::string full = root + "/" + rel;
  char buf[4096];
  ssize_t n = ::readlink(full.c_str(), buf, sizeof buf - 1);
  if (n < 0) return false;
  std::string text(buf, static_cast<size_t>(n));
  if (text.empty() || text[0] == '/') return false;
  pushText(rel);
  pending.erase(pending.begin());  // drop the link's own name (first pushed = last component)
  // pending now holds the directory components of rel, reversed; walk them
  // (they are real directories, already inside), then the text.
  std::vector<std::string> dirParts(pending.rbegin(), pending.rend());
  pending.clear();
  resolved = dirParts;
  pushText(text);
  int expansions = 0;
  while (!pending.empty()) {
    std::string c = pending.back();
    pending.pop_back();
    if (c == ".") continue;
    if (c == "..") {
      if (resolved.empty()) return false;
      resolved.pop_back();
      continue;
    }
    resolved.push_back(c);
    std::string path = root;
    for (const auto& r : resolved) path += "/" + r;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) continue;  // missing tails stay inside
    if (++expansions > 40) return false;
    n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    if (n < 0) return false;
    std::string inner(buf, static_cast<size_t>(n));
    if (inner.empty() || inner[0] == '/') return false;
    resolved.pop_back();
    pushText(inner);
  }
  return true;
}

}  // namespace qlsign
