#include "platform/linux/linux_basics.h"

#include <dlfcn.h>
#include <plist/plist.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <thread>
#include <vector>

#include "platform/linux/file_handle.h"

extern char** environ;

namespace ql::linux_backend {

void RealClock::sleepFor(Duration d) {
  if (!(d.count() > 0)) return;
  std::this_thread::sleep_for(d);
}

std::map<std::string, std::string> LinuxProcessInfo::environment() {
  std::map<std::string, std::string> env;
  for (char** e = environ; e && *e; ++e) {
    std::string kv = *e;
    size_t eq = kv.find('=');
    if (eq == std::string::npos) continue;
    env.emplace(kv.substr(0, eq), kv.substr(eq + 1));  // first one wins, as getenv
  }
  return env;
}

int LinuxProcessInfo::processIdentifier() { return static_cast<int>(::getpid()); }

std::string LinuxProcessInfo::homeDirectory() {
  if (const char* h = ::getenv("HOME"); h && *h) return h;
  std::vector<char> buf(16384);
  passwd pw{};
  passwd* out = nullptr;
  if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &out) == 0 && out) return out->pw_dir;
  return "/";
}

std::optional<std::string> LinuxProcessInfo::homeDirectoryForUser(const std::string& user) {
  std::vector<char> buf(16384);
  passwd pw{};
  passwd* out = nullptr;
  if (::getpwnam_r(user.c_str(), &pw, buf.data(), buf.size(), &out) == 0 && out) return std::string(out->pw_dir);
  return std::nullopt;
}

int LinuxProcessInfo::signalProbe(long long pid) {
  if (pid < INT_MIN || pid > INT_MAX) return ESRCH;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 ? 0 : errno;
}

std::string currentExecutablePath() {
  std::vector<char> buf(PATH_MAX);
  ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return "";
  return std::string(buf.data(), static_cast<size_t>(n));
}

std::string bundlePathForExecutable(const std::string& exe) {
  auto parent = [](const std::string& p) {
    size_t s = p.rfind('/');
    if (s == std::string::npos) return std::string(".");
    return s == 0 ? std::string("/") : p.substr(0, s);
  };
  std::string macos = parent(exe);
  std::string contents = parent(macos);
  auto last = [](const std::string& p) { return p.substr(p.rfind('/') + 1); };
  if (last(macos) == "MacOS" && last(contents) == "Contents") return parent(contents);
  return macos;
}

std::map<std::string, InfoValue> parseInfoPlist(const std::string& bytes) {
  std::map<std::string, InfoValue> out;
  if (bytes.empty() || bytes.size() > UINT32_MAX) return out;
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  if (!root) return out;
  if (plist_get_node_type(root) == PLIST_DICT) {
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(root, &it);
    for (;;) {
      char* key = nullptr;
      plist_t value = nullptr;
      plist_dict_next_item(root, it, &key, &value);
      if (!key) break;
      InfoValue v;
      if (value && plist_get_node_type(value) == PLIST_STRING) {
        // plist_get_string_val asserts (and aborts) on a string holding a
        // NUL; the pointer-and-length accessor takes every byte as it is.
        uint64_t length = 0;
        const char* s = plist_get_string_ptr(value, &length);
        v.kind = InfoValue::Kind::kString;
        v.string = s ? std::string(s, static_cast<size_t>(length)) : "";
      } else {
        v.kind = InfoValue::Kind::kOther;
      }
      out[key] = std::move(v);
      free(key);
    }
    free(it);
  }
  plist_free(root);
  return out;
}

LinuxBundle::LinuxBundle(std::string bundlePath) : path_(std::move(bundlePath)) {
  // A FIFO, socket or device in place of the Info.plist reads as a missing
  // one (no wait on a writer that never comes), and so does anything larger
  // than any real Info.plist.
  Result<std::string> bytes = readRegularFile(path_ + "/Contents/Info.plist", kMaxInfoPlistBytes, true);
  if (bytes.ok()) info_ = parseInfoPlist(bytes.value());
}

std::optional<std::string> LinuxBundle::bundleIdentifier() {
  InfoValue v = infoValue("CFBundleIdentifier");
  if (v.isString() && !v.string.empty()) return v.string;
  return std::nullopt;
}

InfoValue LinuxBundle::infoValue(const std::string& key) {
  auto it = info_.find(key);
  return it == info_.end() ? InfoValue{} : it->second;
}

std::deque<int> parseAlertAnswers(const std::string& list) {
  std::deque<int> answers;
  size_t start = 0;
  while (start <= list.size() && !list.empty()) {
    size_t comma = list.find(',', start);
    std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (item.empty() || item.size() > 9 || item.find_first_not_of("-0123456789") != std::string::npos ||
        item.find('-', 1) != std::string::npos || item == "-") {
      return {};
    }
    answers.push_back(std::stoi(item));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return answers;
}

HeadlessAlerts::HeadlessAlerts() {
  if (const char* list = ::getenv(kAlertAnswersVariable)) answers_ = parseAlertAnswers(list);
}

HeadlessAlerts::HeadlessAlerts(const std::string& scriptedAnswers) : answers_(parseAlertAnswers(scriptedAnswers)) {}

int HeadlessAlerts::runModal(const Alert& alert) {
  int response = kAlertDismissed;
  bool scripted = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!answers_.empty()) {
      response = answers_.front();
      answers_.pop_front();
      scripted = true;
    }
  }
  std::string text = "[alert] " + alert.messageText + "\n" + alert.informativeText + "\n";
  if (!alert.buttons.empty() || scripted) {
    text += "[alert] buttons:";
    for (const auto& b : alert.buttons) text += " [" + b + "]";
    text += scripted ? " — answered " + std::to_string(response) + " (" + kAlertAnswersVariable + ")\n"
                     : std::string(" — no display; answered as dismissed\n");
  }
  size_t off = 0;
  while (off < text.size()) {
    ssize_t w = ::write(STDERR_FILENO, text.data() + off, text.size() - off);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    off += static_cast<size_t>(w);
  }
  return response;
}

namespace {
class DlLibrary : public DynamicLibrary {
 public:
  explicit DlLibrary(void* handle) : handle_(handle) {}
  ~DlLibrary() override { ::dlclose(handle_); }
  DlLibrary(const DlLibrary&) = delete;
  DlLibrary& operator=(const DlLibrary&) = delete;
  void* symbol(const std::string& name) override { return ::dlsym(handle_, name.c_str()); }

 private:
  void* handle_;
};
}  // namespace

std::unique_ptr<DynamicLibrary> DlLibraryLoader::open(const std::string& path, int mode) {
  void* h = ::dlopen(path.c_str(), mode == kRtldLazy ? RTLD_LAZY : RTLD_NOW);
  if (!h) return nullptr;
  return std::make_unique<DlLibrary>(h);
}

}  // namespace ql::linux_backend
