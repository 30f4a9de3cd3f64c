#include "tests/reliability/tree.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "tests/fakes/test_platform.h"

namespace ql::testing {

namespace fs = std::filesystem;

std::string treeDigest(const std::string& root) {
  struct stat top;
  if (::lstat(root.c_str(), &top) != 0) return "";
  std::vector<std::string> lines;
  auto describe = [&](const std::string& path, const std::string& rel) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
      lines.push_back(rel + " ?");
      return;
    }
    std::string line = rel + " " + std::to_string(st.st_mode);
    if (S_ISLNK(st.st_mode)) {
      char buf[4096];
      ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
      line += " -> " + std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
    } else if (S_ISREG(st.st_mode)) {
      line += " " + std::to_string(st.st_size) + " " + readFile(path);
    }
    lines.push_back(line);
  };
  describe(root, ".");
  if (S_ISDIR(top.st_mode)) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
      std::string path = it->path().string();
      describe(path, path.substr(root.size()));
    }
    if (ec) lines.push_back("walk error " + ec.message());
  }
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (auto& l : lines) out += l + "\n";
  return out;
}

std::vector<FoundKey> findKeys(const std::string& root) {
  std::vector<FoundKey> keys;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename() != "encryption.key") continue;
    if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
    keys.push_back({it->path().parent_path().string(), readFile(it->path().string())});
  }
  return keys;
}

std::vector<std::string> entriesWithPrefix(const std::string& dir, const std::string& prefix) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.rfind(prefix, 0) == 0) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void makeDataDirectory(const std::string& path, const std::string& tag) {
  makeDirs(path);
  writeFile(path + "/encryption.key", tag, 0600);
  writeFile(path + "/data.db", tag);
  writeFile(path + "/config.toml", "# " + tag + "\nport = 4100\n");
}

bool holdsDataDirectory(const std::string& dir, const std::string& tag) {
  struct stat st;
  if (::stat((dir + "/encryption.key").c_str(), &st) != 0) return false;
  return readFile(dir + "/encryption.key") == tag && readFile(dir + "/data.db") == tag;
}

void makeBundleTree(const std::string& path, const std::string& flavour) {
  makeDirs(path + "/Contents/MacOS");
  makeDirs(path + "/Contents/Resources/bin");
  writeFile(path + "/Contents/Info.plist", "<plist><dict><key>CFBundleVersion</key><string>" + flavour +
                                               "</string></dict></plist>\n");
  writeFile(path + "/Contents/MacOS/Quillmark", "#!/bin/sh\n# launcher " + flavour + "\n", 0755);
  writeFile(path + "/Contents/Resources/bin/quillmark", "#!/bin/sh\n# service " + flavour + "\nexit 0\n", 0755);
}

}  // namespace ql::testing
