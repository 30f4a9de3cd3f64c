// A stand-in launcher for the session tests: the real GLib loop and
// application object with a delegate that reports each call on standard
// output, one line per call.
//
//   desktop_probe --id APPID --bundle PATH [--step-aside-on-open] [launch arguments]
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/linux/desktop/desktop_application.h"
#include "platform/linux/desktop/glib_main_loop.h"

using namespace ql;
using namespace ql::linux_backend::desktop;

namespace {

void report(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

class ReportingDelegate : public ApplicationDelegate {
 public:
  ReportingDelegate(DesktopApplication& app, bool stepAsideOnOpen) : app_(app), stepAsideOnOpen_(stepAsideOnOpen) {}
  void applicationDidFinishLaunching() override {
    auto appMenu = std::make_shared<Menu>();
    appMenu->items.push_back({"Open Quillmark", kOpenInBrowserAction, "n", false, nullptr});
    appMenu->items.push_back({"", "", "", true, nullptr});
    appMenu->items.push_back({"Quit Quillmark", kTerminateAction, "q", false, nullptr});
    auto main = std::make_shared<Menu>();
    main->items.push_back({"", "", "", false, appMenu});
    app_.setMainMenu(main);
    report("launched");
  }
  void openInBrowser() override {
    report("open");
    if (stepAsideOnOpen_) {
      app_.stepAside();
      report("stepped-aside");
    }
  }
  bool applicationShouldHandleReopen(bool) override {
    report("reopen");
    return true;
  }
  TerminateReply applicationShouldTerminate() override {
    report("terminate");
    return TerminateReply::kNow;
  }

 private:
  DesktopApplication& app_;
  bool stepAsideOnOpen_;
};

}  // namespace

int main(int argc, char** argv) {
  std::string id = "com.example.probe", bundle = "/tmp/Probe.app";
  bool stepAside = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--id") && i + 1 < argc) id = argv[++i];
    else if (!std::strcmp(argv[i], "--bundle") && i + 1 < argc) bundle = argv[++i];
    else if (!std::strcmp(argv[i], "--step-aside-on-open")) stepAside = true;
  }
  GlibMainLoop loop;
  DesktopApplication app(loop, id, bundle, parseLaunchArguments(argc, argv));
  app.routeTerminationSignals();
  ReportingDelegate delegate(app, stepAside);
  app.setDelegate(&delegate);
  app.run();
  const char* roles[] = {"not-started", "primary", "separate", "forwarded"};
  report(std::string("exit ") + roles[static_cast<int>(app.role())]);
  app.setDelegate(nullptr);
  return 0;
}
