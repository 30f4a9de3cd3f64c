// Chooses and builds the desktop pieces of the Linux backend: the GLib main
// loop, the GApplication-based application object, the GTK alerts, and the
// workspace as the application object needs to see it.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/alerts.h"
#include "platform/linux/linux_application.h"
#include "platform/linux/main_loop.h"
#include "platform/workspace.h"

namespace ql::linux_backend::desktop {

class DesktopApplication;

// Passes everything to the plain workspace, except that opening a new
// instance first makes this instance give up the application id, so the
// copy being opened (a freshly installed bundle) becomes the one that later
// launches reach instead of being turned into a reopen of this one.
class HandOverWorkspace : public Workspace {
 public:
  HandOverWorkspace(Workspace& plain, DesktopApplication& application) : plain_(plain), application_(application) {}
  std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(const std::string& id) override {
    return plain_.runningApplicationsWithBundleIdentifier(id);
  }
  RunningApplication currentApplication() override { return plain_.currentApplication(); }
  std::optional<RunningApplication> runningApplicationWithProcessIdentifier(int pid) override {
    return plain_.runningApplicationWithProcessIdentifier(pid);
  }
  bool activate(const RunningApplication& app) override { return plain_.activate(app); }
  void openApplication(const std::string& bundlePath, bool newInstance,
                       std::function<void(Status)> completion) override;

 private:
  Workspace& plain_;
  DesktopApplication& application_;
};

struct DesktopParts {
  std::unique_ptr<MainLoop> loop;
  std::unique_ptr<LinuxApplication> application;
  std::unique_ptr<Alerts> alerts;
  std::unique_ptr<Workspace> workspace;  // wraps the plain one
};

// Nothing when neither a display nor a session bus is around: the caller
// keeps the headless backend then. Starts no thread.
std::optional<DesktopParts> makeDesktopParts(int argc, char** argv,
                                             const std::map<std::string, std::string>& environment,
                                             Workspace& plainWorkspace);

// The desktop backend is a shared module of its own (it alone links GLib
// and GIO), compiled into the launcher and loaded only when a session
// exists (desktop_module.h). This is its one entry point, found by name:
// makeDesktopParts with the result in *out.
using MakeDesktopPartsEntry = void (*)(int argc, char** argv, const std::map<std::string, std::string>* environment,
                                       Workspace* plainWorkspace, std::optional<DesktopParts>* out);
inline constexpr char kMakeDesktopPartsEntry[] = "ql_desktop_make_parts";

}  // namespace ql::linux_backend::desktop

extern "C" void ql_desktop_make_parts(int argc, char** argv, const std::map<std::string, std::string>* environment,
                                      ql::Workspace* plainWorkspace,
                                      std::optional<ql::linux_backend::desktop::DesktopParts>* out);
