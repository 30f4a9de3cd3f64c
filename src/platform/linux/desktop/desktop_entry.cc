#include "platform/linux/desktop/desktop_entry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/linux/desktop/desktop_rules.h"
#include "platform/linux/linux_file_manager.h"

namespace ql::linux_backend::desktop {

namespace {

void say(const std::string& text) {
  std::string line = "desktop: " + text + "\n";
  (void)!::write(STDERR_FILENO, line.data(), line.size());
}

bool makeDirs(const std::string& path) {
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    if (partial.empty()) continue;
    if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool sameContents(const std::string& path, const std::string& contents) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  std::string have;
  char buf[8192];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0 && have.size() <= contents.size()) have.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return n == 0 && have == contents;
}

// A temporary file beside the target, then rename: a desktop shell watching
// the folder never sees half an entry.
bool writeAtomically(const std::string& path, const std::string& contents) {
  if (sameContents(path, contents)) return true;
  std::string tmp = path + ".tmp." + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  size_t off = 0;
  bool ok = true;
  while (off < contents.size()) {
    ssize_t w = ::write(fd, contents.data() + off, contents.size() - off);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      ok = false;
      break;
    }
    off += static_cast<size_t>(w);
  }
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(tmp.c_str(), path.c_str()) == 0) return true;
  ::unlink(tmp.c_str());
  return false;
}

}  // namespace

std::string userDataHome() {
  if (const char* x = std::getenv("XDG_DATA_HOME"); x && x[0] == '/') return x;
  const char* home = std::getenv("HOME");
  if (!home || home[0] != '/') return "";
  return std::string(home) + "/.local/share";
}

bool installDesktopEntry(const std::string& bundlePath, const std::string& executable,
                         const std::string& applicationId, const std::string& dataHome) {
  if (dataHome.empty() || dataHome[0] != '/') return false;  // no home to write into
  std::string entry = desktopEntryFor(kDesktopEntryTemplate, executable, applicationId);
  if (entry.empty()) {
    say("no desktop entry for " + bundlePath + ": its path can't be written into one");
    return false;
  }
  std::string apps = dataHome + "/applications";
  std::string icons = dataHome + "/icons/hicolor/scalable/apps";
  bool ok = makeDirs(apps) && writeAtomically(apps + "/" + applicationId + ".desktop", entry);
  ok = makeDirs(icons) && writeAtomically(icons + "/" + applicationId + ".svg", kApplicationIconSvg) && ok;
  if (!ok) say("couldn't write the desktop entry under " + dataHome + " (" + std::strerror(errno) + ")");
  return ok;
}

namespace {

// The build's system Applications folder, the same fact the install offer
// uses (QL_FACT_SYSTEM_APPLICATIONS is defined for every platform source).
#ifndef QL_FACT_SYSTEM_APPLICATIONS
#error "QL_FACT_SYSTEM_APPLICATIONS must be defined by the build"
#endif

// An entry is a few hundred bytes; anything larger is not one we wrote.
constexpr size_t kMaxEntryBytes = 64 * 1024;

// Reads a small regular file without following a link or blocking on a
// FIFO planted at its name. Nothing when it is anything else.
std::optional<std::string> readSmallRegularFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > kMaxEntryBytes) {
    ::close(fd);
    return std::nullopt;
  }
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0 && out.size() <= kMaxEntryBytes) out.append(buf, static_cast<size_t>(n));
  ::close(fd);
  if (n < 0 || out.size() > kMaxEntryBytes) return std::nullopt;
  return out;
}

bool isExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::vector<std::string> resolvedApplicationsFolders() {
  LinuxFileManager files;
  std::vector<std::string> folders = {files.resolvedPath(QL_FACT_SYSTEM_APPLICATIONS)};
  if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
    std::string h = home;
    while (h.size() > 1 && h.back() == '/') h.pop_back();
    folders.push_back(files.resolvedPath((h == "/" ? "" : h) + "/Applications"));
  }
  return folders;
}

bool copyIsInstalled(const std::string& bundlePath) {
  return bundleIsInstalled(LinuxFileManager().resolvedPath(bundlePath), resolvedApplicationsFolders());
}

bool removeStaleDesktopEntry(const std::string& applicationId, const std::string& dataHome) {
  if (dataHome.empty() || dataHome[0] != '/' || !isValidApplicationId(applicationId)) return false;
  std::string entryPath = dataHome + "/applications/" + applicationId + ".desktop";
  auto entry = readSmallRegularFile(entryPath);
  if (!entry) return false;
  auto target = desktopEntryTryExec(*entry);
  // Without a TryExec it is not an entry this launcher wrote: leave it.
  if (!target || target->empty() || isExecutableFile(*target)) return false;
  // unlink removes a name, never what a link there points at.
  if (::unlink(entryPath.c_str()) != 0) return false;
  ::unlink((dataHome + "/icons/hicolor/scalable/apps/" + applicationId + ".svg").c_str());
  say("removed the desktop entry of " + *target + ", which is no longer there");
  return true;
}

void refreshDesktopEntry(const std::string& bundlePath, const std::string& executable,
                         const std::string& applicationId, const std::string& dataHome) {
  if (copyIsInstalled(bundlePath)) {
    installDesktopEntry(bundlePath, executable, applicationId, dataHome);
  } else {
    removeStaleDesktopEntry(applicationId, dataHome);
  }
}

}  // namespace ql::linux_backend::desktop
