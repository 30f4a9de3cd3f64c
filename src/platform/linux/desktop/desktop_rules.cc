#include "platform/linux/desktop/desktop_rules.h"

#include <cstring>

#include "common/path_equality.h"
#include "platform/application.h"
#include "platform/linux/linux_basics.h"

namespace ql::linux_backend::desktop {

namespace {

bool isIdChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}
bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::vector<std::string> splitElements(const std::string& id) {
  std::vector<std::string> out(1);
  for (char c : id) {
    if (c == '.') {
      out.emplace_back();
    } else {
      out.back() += c;
    }
  }
  return out;
}

struct ActionName {
  const char* selector;
  const char* exported;
};
constexpr ActionName kActions[] = {{kOpenInBrowserAction, "open"}, {kTerminateAction, "quit"}};

void replaceAll(std::string& s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
    s.replace(at, from.size(), to);
  }
}

}  // namespace

bool isValidApplicationId(const std::string& id) {
  // GApplication's rule: at most 255 bytes, at least two non-empty elements,
  // each of [A-Za-z0-9_-] and not starting with a digit, no leading dot.
  if (id.empty() || id.size() > 255) return false;
  auto elements = splitElements(id);
  if (elements.size() < 2) return false;
  for (const auto& e : elements) {
    if (e.empty() || isDigit(e[0])) return false;
    for (char c : e) {
      if (!isIdChar(c)) return false;
    }
  }
  return true;
}

std::string applicationIdFor(const std::optional<std::string>& bundleIdentifier) {
  if (!bundleIdentifier || bundleIdentifier->empty()) return kDefaultApplicationId;
  std::string repaired;
  for (const auto& element : splitElements(*bundleIdentifier)) {
    if (element.empty()) continue;  // "a..b", leading or trailing dots
    std::string e;
    if (isDigit(element[0])) e += '_';
    for (char c : element) e += isIdChar(c) ? c : '_';
    if (!repaired.empty()) repaired += '.';
    repaired += e;
  }
  return isValidApplicationId(repaired) ? repaired : kDefaultApplicationId;
}

std::optional<std::string> exportedActionForSelector(const std::string& selector) {
  for (const auto& a : kActions) {
    if (selector == a.selector) return std::string(a.exported);
  }
  return std::nullopt;
}

std::optional<std::string> selectorForExportedAction(const std::string& name) {
  for (const auto& a : kActions) {
    if (name == a.exported) return std::string(a.selector);
  }
  return std::nullopt;
}

std::string acceleratorForKeyEquivalent(const std::string& key) {
  if (key.size() != 1) return "";
  char c = key[0];
  if (c >= 'a' && c <= 'z') return std::string("<Primary>") + c;
  if (c >= 'A' && c <= 'Z') return std::string("<Primary><Shift>") + static_cast<char>(c - 'A' + 'a');
  if (isDigit(c)) return std::string("<Primary>") + c;
  return "";
}

std::vector<std::string> dialogButtonLabels(const std::vector<std::string>& buttons) {
  if (buttons.empty()) return {"OK"};
  std::vector<std::string> out;
  out.reserve(buttons.size());
  for (std::string b : buttons) {
    replaceAll(b, "_", "__");
    out.push_back(std::move(b));
  }
  return out;
}

int alertResponseForDialog(int dialogResponse, std::size_t buttonCount) {
  size_t shown = buttonCount == 0 ? 1 : buttonCount;
  long index = static_cast<long>(dialogResponse) - kAlertFirstButtonReturn;
  if (index >= 0 && static_cast<size_t>(index) < shown) return dialogResponse;
  return kAlertDismissed;
}

LaunchRequest parseLaunchArguments(int argc, char** argv) {
  LaunchRequest r;
  for (int i = 1; i < argc && argv && argv[i]; ++i) {
    std::string a = argv[i];
    if (a == kReplaceArgument) {
      r.replaceRunning = true;
    } else if (a.rfind("--action=", 0) == 0) {
      r.action = a.substr(std::strlen("--action="));
    } else if (a == "--action" && i + 1 < argc && argv[i + 1]) {
      r.action = argv[++i];
    }
  }
  // Only the exported actions travel; anything else is as if not asked.
  if (!selectorForExportedAction(r.action)) r.action.clear();
  return r;
}

bool desktopSessionAvailable(const std::map<std::string, std::string>& env) {
  // A scripted run answers its alerts from the environment; it must never
  // stop at a dialog waiting for a person, nor meet another run on the bus.
  if (env.count(kAlertAnswersVariable)) return false;
  for (const char* key : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"}) {
    auto it = env.find(key);
    if (it != env.end() && !it->second.empty()) return true;
  }
  return false;
}

std::optional<std::string> quoteExecArgument(const std::string& argument) {
  std::string quoted = "\"";
  for (char c : argument) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return std::nullopt;
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    if (c == '%') quoted += '%';  // "%%" is a literal percent, not a field code
    quoted += c;
  }
  quoted += '"';
  // The Exec value is itself a string value, where a backslash is written
  // "\\": the quoting backslashes above are doubled once more.
  std::string value;
  for (char c : quoted) {
    if (c == '\\') value += '\\';
    value += c;
  }
  return value;
}

std::string desktopEntryFor(const std::string& entryTemplate, const std::string& executable,
                            const std::string& applicationId) {
  auto exec = quoteExecArgument(executable);
  if (!exec || !isValidApplicationId(applicationId)) return "";
  // TryExec is a plain string value: only its backslashes are escaped. It
  // lets the desktop hide the entry once the bundle has been deleted.
  std::string tryExec;
  for (char c : executable) {
    if (c == '\\') tryExec += '\\';
    tryExec += c;
  }
  // One pass over the template, so a path that happens to contain
  // "@APPID@" or "@EXEC@" is never substituted a second time.
  const std::map<std::string, std::string> values = {
      {"@APPID@", applicationId}, {"@TRYEXEC@", tryExec}, {"@EXEC@", *exec}};
  std::string out;
  for (size_t i = 0; i < entryTemplate.size();) {
    bool replaced = false;
    for (const auto& [token, value] : values) {
      if (entryTemplate.compare(i, token.size(), token) == 0) {
        out += value;
        i += token.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) out += entryTemplate[i++];
  }
  return out;
}

bool bundleIsInstalled(const std::string& resolvedBundlePath,
                       const std::vector<std::string>& resolvedApplicationsFolders) {
  size_t slash = resolvedBundlePath.rfind('/');
  if (slash == std::string::npos || slash + 1 == resolvedBundlePath.size()) return false;
  // "/Quillmark.app" lies in "/"; the folders are never the root anyway.
  std::string parent = slash == 0 ? "/" : resolvedBundlePath.substr(0, slash);
  for (const auto& folder : resolvedApplicationsFolders) {
    if (!folder.empty() && pathsEqual(parent, folder)) return true;
  }
  return false;
}

std::optional<std::string> desktopEntryTryExec(const std::string& entry) {
  // Only the main group counts: an action group has no TryExec of its own.
  bool inMain = false;
  size_t pos = 0;
  while (pos < entry.size()) {
    size_t nl = entry.find('\n', pos);
    std::string line = entry.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    pos = nl == std::string::npos ? entry.size() : nl + 1;
    if (!line.empty() && line[0] == '[') {
      inMain = line == "[Desktop Entry]";
      continue;
    }
    if (!inMain || line.rfind("TryExec=", 0) != 0) continue;
    std::string value;
    for (size_t i = 8; i < line.size(); ++i) {
      // The string escapes of the format; desktopEntryFor writes only "\\".
      if (line[i] == '\\' && i + 1 < line.size()) {
        char e = line[++i];
        value += e == 's' ? ' ' : e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
      } else {
        value += line[i];
      }
    }
    return value;
  }
  return std::nullopt;
}

}  // namespace ql::linux_backend::desktop
