// Running applications and the open request on Linux, where an application
// is a bundle directory whose executable lives in "<bundle>/Contents/MacOS/".
#pragma once

#include <optional>
#include <string>

#include "platform/workspace.h"

namespace ql::linux_backend {

class LinuxWorkspace : public Workspace {
 public:
  // `procRoot` is where the process table is read from ("/proc").
  explicit LinuxWorkspace(std::string procRoot = "/proc");

  // Processes whose executable lies inside "<bundle>/Contents/MacOS/" of a
  // bundle whose Info.plist carries `bundleIdentifier`, in process-id order.
  // Processes we may not inspect (other users') are not seen.
  std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(
      const std::string& bundleIdentifier) override;
  RunningApplication currentApplication() override;
  std::optional<RunningApplication> runningApplicationWithProcessIdentifier(int pid) override;
  // Brings the process's windows to the front through the X11 window
  // manager, with the timestamp of the user request being handled (see
  // noteUserRequest). False when nothing was activated: no display, a
  // Wayland session without X11 windows of that process (one Wayland
  // client cannot raise another's window), or a process with no window.
  bool activate(const RunningApplication& app) override;
  // Starts the bundle's executable detached, in a session of its own, with
  // standard streams on /dev/null and the launcher's environment. The
  // completion runs on a thread of its own: an error when the executable
  // could not be found or executed, success once it has been executed.
  // Without `newInstance`, an instance already running is activated instead.
  void openApplication(const std::string& bundlePath, bool newInstance,
                       std::function<void(Status)> completion) override;

 private:
  std::optional<RunningApplication> applicationForProcess(int pid);

  std::string procRoot_;
};

// What a user's request (a reopen, a menu action from the desktop or
// `gapplication`) carried that lets the program it reached bring a window
// forward: the launching desktop's startup-notification id (on X11, with
// the time of the click or key press) and a Wayland activation token.
struct UserRequest {
  std::string startupId;        // DESKTOP_STARTUP_ID / "desktop-startup-id"
  std::string activationToken;  // XDG_ACTIVATION_TOKEN / "activation-token"
};
// Records the request being handled; the next activate uses it and forgets
// it. The desktop backend calls this as each request arrives, empty fields
// included, so an old request's time never lends itself to a newer one.
void noteUserRequest(UserRequest request);
UserRequest takeUserRequest();

// The bundle holding `executable`: the part before the last
// "/Contents/MacOS/" when the executable lies somewhere below that folder.
std::optional<std::string> bundleContainingExecutable(const std::string& executable);

// The executable of a bundle: Contents/MacOS/<CFBundleExecutable>, else the
// only regular file in Contents/MacOS.
Result<std::string> bundleExecutable(const std::string& bundlePath);

// Executes `executable` (argv[0] = its path) in a new session as a
// grandchild the launcher never has to reap. Returns once it has been
// executed, or with the reason it could not be.
Status spawnDetached(const std::string& executable);

}  // namespace ql::linux_backend
