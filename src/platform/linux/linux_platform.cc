#include "platform/linux/linux_platform.h"

#include "codesign/ossl.h"
#include "platform/linux/linux_application.h"
#include "platform/linux/linux_basics.h"
#include "platform/linux/linux_code_signing.h"
#include "platform/linux/linux_dispatch.h"
#include "platform/linux/linux_file_manager.h"
#include "platform/linux/linux_tasks.h"
#include "platform/linux/linux_workspace.h"
#include "platform/linux/main_loop.h"
#if QL_DESKTOP_BACKEND
#include <cstdio>

#include "platform/linux/desktop/desktop_module.h"
#include "platform/linux/desktop/desktop_rules.h"
#endif

namespace ql::linux_backend {

namespace {

// Where this build's Applications folders and platform tools live; fixed
// when the launcher is built (QL_SYSTEM_APPLICATIONS, QL_TOOL_DIR).
#if !defined(QL_FACT_SYSTEM_APPLICATIONS) || !defined(QL_FACT_TOOL_DIR)
#error "QL_FACT_SYSTEM_APPLICATIONS and QL_FACT_TOOL_DIR must be defined by the build"
#endif
PlatformFacts buildTimeFacts() {
  PlatformFacts facts;
  facts.systemApplicationsFolder = buildSystemApplicationsFolder();
  facts.userApplicationsFolder = "~/Applications";
  facts.assessmentTool = std::string(QL_FACT_TOOL_DIR) + "/ql-spctl";
  facts.quarantineTool = std::string(QL_FACT_TOOL_DIR) + "/ql-xattr";
  // Absent on Linux: the translocation lookup then falls back to the bundle
  // path, as it must wherever the library is missing.
  facts.securityFramework = "/System/Library/Frameworks/Security.framework/Security";
  return facts;
}

}  // namespace

const char* buildSystemApplicationsFolder() { return QL_FACT_SYSTEM_APPLICATIONS; }

namespace {

// The part of the backend the user sees: the loop that runs the main queue,
// the application object and the alerts. A desktop session gets the GLib,
// GApplication and GTK ones; anything else the headless ones.
struct FrontEnd {
  std::unique_ptr<MainLoop> loop;
  std::unique_ptr<LinuxApplication> application;
  std::unique_ptr<Alerts> alerts;
  std::unique_ptr<Workspace> workspace;  // null: the plain workspace as is
};

FrontEnd makeFrontEnd([[maybe_unused]] int argc, [[maybe_unused]] char** argv,
                      [[maybe_unused]] Workspace& plainWorkspace) {
  FrontEnd f;
#if QL_DESKTOP_BACKEND
  // The session test comes first, so that a launch without one never loads
  // the module (nor GLib and GIO with it).
  std::map<std::string, std::string> environment = LinuxProcessInfo().environment();
  if (desktop::desktopSessionAvailable(environment)) {
    std::string error;
    desktop::MakeDesktopPartsEntry makeParts = desktop::loadDesktopModule(&error);
    std::optional<desktop::DesktopParts> d;
    if (makeParts) {
      makeParts(argc, argv, &environment, &plainWorkspace, &d);
    } else {
      // Nothing is logged yet this early; the launch goes on without the
      // desktop front end, as outside a session.
      std::fprintf(stderr, "quillmark: desktop backend not loaded (%s); running without a desktop session\n",
                   error.c_str());
    }
    if (d) {
      f.loop = std::move(d->loop);
      f.application = std::move(d->application);
      f.alerts = std::move(d->alerts);
      f.workspace = std::move(d->workspace);
      return f;
    }
  }
#endif
  f.loop = std::make_unique<PosixMainLoop>();
  f.application = std::make_unique<LinuxApplication>(*f.loop);
  f.alerts = std::make_unique<HeadlessAlerts>();
  return f;
}

class Assembled : public LinuxPlatform {
 public:
  Assembled(int argc, char** argv)
      : ui_(makeFrontEnd(argc, argv, workspace_)),
        // Signals must be blocked before the first thread starts, so the
        // dispatch threads inherit the mask.
        routed_((ui_.application->routeTerminationSignals(), true)),
        anchors_(builtInTrustStoreInBackground()),
        dispatch_(*ui_.loop),
        bundle_(bundlePathForExecutable(currentExecutablePath())),
        codeSigning_(anchors_),
        platform_{*ui_.application, *ui_.alerts, files_, tasks_, dispatch_, process_, bundle_,
                  codeSigning_, ui_.workspace ? *ui_.workspace : workspace_, clock_, libraries_,
                  buildTimeFacts()} {}

  Platform& platform() override { return platform_; }

 private:
  LinuxWorkspace workspace_;  // first: the front end may wrap it
  FrontEnd ui_;
  bool routed_;
  // Parsed beside the rest of the start-up; the first signature check waits
  // for it (after routed_: its thread inherits the blocked signals).
  std::shared_future<qlsign::TrustStore> anchors_;
  LinuxDispatch dispatch_;
  LinuxFileManager files_;
  LinuxTasks tasks_;
  LinuxProcessInfo process_;
  LinuxBundle bundle_;
  LinuxCodeSigning codeSigning_;
  RealClock clock_;
  DlLibraryLoader libraries_;
  Platform platform_;
};

}  // namespace

std::unique_ptr<LinuxPlatform> makeLinuxPlatform(int argc, char** argv) {
  // Before the trust store makes the first OpenSSL call.
  qlsign::initOpensslWithoutConfig();
  return std::make_unique<Assembled>(argc, argv);
}

}  // namespace ql::linux_backend
