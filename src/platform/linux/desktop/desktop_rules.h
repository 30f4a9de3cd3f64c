// The desktop backend's decisions that need neither a display nor a bus:
// the application id, the exported action names and accelerators, how a
// dialog's answer becomes an alert response, the launch arguments, and the
// desktop entry written for an installed bundle.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/alerts.h"

namespace ql::linux_backend::desktop {

inline constexpr const char* kDefaultApplicationId = "com.talvoria.zorvan";

// The D-Bus/GApplication id for a bundle identifier. Info.plist is outside
// our control and GApplication aborts on an invalid id, so characters D-Bus
// forbids become "_", an element starting with a digit gets a "_" in front,
// and an id that still isn't usable falls back to the default.
std::string applicationIdFor(const std::optional<std::string>& bundleIdentifier);
bool isValidApplicationId(const std::string& id);

// Menu selectors and the short action names a desktop file or
// `gapplication action` uses for them.
std::optional<std::string> exportedActionForSelector(const std::string& selector);
std::optional<std::string> selectorForExportedAction(const std::string& name);

// A key equivalent as a GTK accelerator: "n" → "<Primary>n", "N" (shifted,
// as a macOS key equivalent spells Shift) → "<Primary><Shift>n". Anything
// but one ASCII letter or digit has no accelerator (empty string).
std::string acceleratorForKeyEquivalent(const std::string& keyEquivalent);

// Button titles as shown: the single "OK" when the alert has none; an
// underscore is doubled so GTK shows it rather than taking a mnemonic.
std::vector<std::string> dialogButtonLabels(const std::vector<std::string>& buttons);
// A dialog's response id as an alert response: a button's own id passes,
// everything else (closed window, Escape, destroyed dialog) is "dismissed",
// which no caller takes for the first button.
int alertResponseForDialog(int dialogResponse, std::size_t buttonCount);

// What the command line asks of this launch.
struct LaunchRequest {
  // A fresh copy relaunched by the install flow: take over from the running
  // instance instead of handing it a reopen.
  bool replaceRunning = false;
  // An exported action to run in the running instance ("open", "quit").
  std::string action;
};
inline constexpr const char* kReplaceArgument = "--gapplication-replace";
LaunchRequest parseLaunchArguments(int argc, char** argv);

// A display or a session bus means the desktop backend is worth starting,
// except in a scripted run (QL_ALERT_ANSWERS set), which stays headless.
bool desktopSessionAvailable(const std::map<std::string, std::string>& environment);

// The desktop entry for an installed bundle: `executable` is the launcher
// inside it. Empty when the path cannot be written safely into an Exec line
// (control characters such as a newline).
std::string desktopEntryFor(const std::string& entryTemplate, const std::string& executable,
                            const std::string& applicationId);
// One Exec argument, quoted by the rules of freedesktop.org desktop entries.
std::optional<std::string> quoteExecArgument(const std::string& argument);
// Whether a copy counts as installed: the folder that holds its bundle is
// one of the Applications folders. Both sides come resolved (links
// followed, "." and ".." folded), as the install offer compares them, so a
// copy is either offered the install or writes the desktop entry, never
// both: an entry written by a download would point at a copy that the
// install is about to supersede, or that the user may delete.
bool bundleIsInstalled(const std::string& resolvedBundlePath,
                       const std::vector<std::string>& resolvedApplicationsFolders);
// The TryExec value of a desktop entry the launcher wrote (unescaped), or
// nothing when the text has none.
std::optional<std::string> desktopEntryTryExec(const std::string& entry);

}  // namespace ql::linux_backend::desktop
