#include "platform/linux/linux_platform.h"

#include "platform/linux/linux_application.h"
#include "platform/linux/linux_basics.h"
#include "platform/linux/linux_dispatch.h"
#include "platform/linux/linux_file_manager.h"
#include "platform/linux/linux_stubs.h"
#include "platform/linux/main_loop.h"

namespace ql::linux_backend {

namespace {

class Assembled : public LinuxPlatform {
 public:
  Assembled()
      : application_(loop_),
        // Signals must be blocked before the first thread starts, so the
        // dispatch threads inherit the mask.
        routed_((application_.routeTerminationSignals(), true)),
        dispatch_(loop_),
        bundle_(bundlePathForExecutable(currentExecutablePath())),
        platform_{application_, alerts_, files_, tasks_, dispatch_, process_, bundle_,
                  codeSigning_, workspace_, clock_, libraries_, PlatformFacts{}} {}

  Platform& platform() override { return platform_; }

 private:
  PosixMainLoop loop_;
  LinuxApplication application_;
  bool routed_;
  LinuxDispatch dispatch_;
  HeadlessAlerts alerts_;
  LinuxFileManager files_;
  UnavailableTasks tasks_;
  LinuxProcessInfo process_;
  LinuxBundle bundle_;
  UnavailableCodeSigning codeSigning_;
  UnavailableWorkspace workspace_;
  RealClock clock_;
  DlLibraryLoader libraries_;
  Platform platform_;
};

}  // namespace

std::unique_ptr<LinuxPlatform> makeLinuxPlatform(int, char**) { return std::make_unique<Assembled>(); }

}  // namespace ql::linux_backend
