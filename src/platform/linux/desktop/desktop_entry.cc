#include "platform/linux/desktop/desktop_entry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/linux/desktop/desktop_rules.h"
#include "platform/linux/file_handle.h"
#include "platform/linux/linux_file_manager.h"
#include "platform/linux/linux_platform.h"

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

// Through the backend's file rule: a FIFO or device at the name reads as
// different (no wait), and the write replaces whatever is there.
bool sameContents(const std::string& path, const std::string& contents) {
  Result<std::string> have = readRegularFile(path, contents.size(), /*followLink=*/false);
  return have.ok() && have.value() == contents;
}

// A temporary file beside the target, then rename: a desktop shell watching
// the folder never sees half an entry.
bool writeAtomically(const std::string& path, const std::string& contents) {
  if (sameContents(path, contents)) return true;
  Status s = replaceFileContents(path, contents, 0644);
  if (!s.ok()) errno = static_cast<int>(s.code());
  return s.ok();
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


// An entry is a few hundred bytes; anything larger is not one we wrote.
constexpr size_t kMaxEntryBytes = 64 * 1024;

bool isExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::vector<std::string> resolvedApplicationsFolders() {
  LinuxFileManager files;
  std::vector<std::string> folders = {files.resolvedPath(buildSystemApplicationsFolder())};
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
  // Not through a link, and a FIFO planted at the name is no entry.
  Result<std::string> entry = readRegularFile(entryPath, kMaxEntryBytes, /*followLink=*/false);
  if (!entry.ok()) return false;
  auto target = desktopEntryTryExec(entry.value());
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
