#include "app/app_delegate.h"

#include "supervision/child_slot.h"

namespace ql {

namespace {
const char* const kSeedRelative = "Contents/Resources/bin/quillmark";
const char* const kShellRelative = "Contents/Helpers/Quillmark Shell.app/Contents/MacOS/Quillmark Shell";
}  // namespace

std::string expandTilde(ProcessInfo& process, const std::string& path) {
  if (path.empty() || path[0] != '~') return path;
  size_t slash = path.find('/');
  std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
  std::string rest = slash == std::string::npos ? "" : path.substr(slash);
  std::optional<std::string> home;
  if (user.empty()) {
    home = process.homeDirectory();
  } else {
    home = process.homeDirectoryForUser(user);
  }
  if (!home) return path;
  std::string h = *home;
  // "~/" on a home of "/" must not give "//".
  while (h.size() > 1 && h.back() == '/') h.pop_back();
  if (h == "/" && !rest.empty()) return rest;
  return h + rest;
}

AppDelegate::AppDelegate(Platform& platform)
    : p_(platform),
      bundledSeed_(joinPath(platform.bundle.bundlePath(), kSeedRelative)),
      zvd_(expandTilde(platform.process, "~/.quillmark")),
      log_(platform.files.standardError()),
      fallbackAttempts_(std::make_shared<supervision::ChildSlot>()) {
  // shellMode forces noWindowRequested and, only when that is false,
  // shellBinaryUsable.
  shellMode_ = !noWindowRequested() && shellBinaryUsable();
}

AppDelegate::~AppDelegate() = default;

const std::string& AppDelegate::shellURL() {
  std::call_once(shellURLOnce_, [this] { shellURL_ = joinPath(p_.bundle.bundlePath(), kShellRelative); });
  return shellURL_;
}

bool AppDelegate::noWindowRequested() {
  std::call_once(noWindowOnce_, [this] {
    auto env = p_.process.environment();
    noWindowRequested_ = env.count("ZORVAN_NO_WINDOW") > 0;
  });
  return noWindowRequested_;
}

bool AppDelegate::shellBinaryUsable() {
  std::call_once(shellUsableOnce_, [this] {
    const std::string& shell = shellURL();
    shellBinaryUsable_ = p_.files.isExecutableFile(shell);
  });
  return shellBinaryUsable_;
}

ActivationPolicy AppDelegate::entryActivationPolicy() {
  if (installPromptExpected()) return ActivationPolicy::kRegular;
  return shellMode_ ? ActivationPolicy::kAccessory : ActivationPolicy::kRegular;
}

ActivationPolicy AppDelegate::startupActivationPolicy() {
  return shellMode_ && !browserFallbackActive_ ? ActivationPolicy::kAccessory
                                               : ActivationPolicy::kRegular;
}

void AppDelegate::installMainMenu() {
  auto appMenu = std::make_shared<Menu>();
  appMenu->items.push_back({"Open Quillmark", kOpenInBrowserAction, "n", false, nullptr});
  appMenu->items.push_back({"", "", "", true, nullptr});
  appMenu->items.push_back({"Quit Quillmark", kTerminateAction, "q", false, nullptr});
  MenuItem holder;
  holder.submenu = appMenu;
  auto mainMenu = std::make_shared<Menu>();
  mainMenu->items.push_back(std::move(holder));
  p_.application.setMainMenu(mainMenu);
}

const char* installRejectionName(InstallRejection r) {
  switch (r) {
    case InstallRejection::policy: return "policy";
    case InstallRejection::tamper: return "tamper";
    case InstallRejection::timeout: return "timeout";
  }
  return "tamper";
}

int launcherMain(Platform& platform) {
  Application& app = platform.application;
  // The shared_ptr here is the module-level `delegate`: it keeps the launcher
  // alive for the whole process; the application holds it unowned.
  auto delegate = std::make_shared<AppDelegate>(platform);
  app.setDelegate(delegate.get());
  app.setActivationPolicy(delegate->entryActivationPolicy());
  app.run();
  app.setDelegate(nullptr);
  return 0;
}

}  // namespace ql
