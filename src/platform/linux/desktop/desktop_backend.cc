#include "platform/linux/desktop/desktop_backend.h"

#include <glib.h>

#include <type_traits>

#include "platform/linux/desktop/desktop_application.h"
#include "platform/linux/desktop/desktop_rules.h"
#include "platform/linux/desktop/glib_main_loop.h"
#include "platform/linux/desktop/gtk_alerts.h"
#include "platform/linux/linux_basics.h"

namespace ql::linux_backend::desktop {

void HandOverWorkspace::openApplication(const std::string& bundlePath, bool newInstance,
                                        std::function<void(Status)> completion) {
  if (newInstance) application_.stepAside();
  plain_.openApplication(bundlePath, newInstance, std::move(completion));
}

std::optional<DesktopParts> makeDesktopParts(int argc, char** argv,
                                             const std::map<std::string, std::string>& environment,
                                             Workspace& plainWorkspace) {
  if (!desktopSessionAvailable(environment)) return std::nullopt;
  std::string bundlePath = bundlePathForExecutable(currentExecutablePath());
  LinuxBundle bundle(bundlePath);
  std::string appId = applicationIdFor(bundle.bundleIdentifier());
  // The program name becomes the windows' WM_CLASS, which the desktop
  // matches against the entry's StartupWMClass.
  g_set_prgname(appId.c_str());
  g_set_application_name("Quillmark");

  DesktopParts parts;
  parts.loop = std::make_unique<GlibMainLoop>();
  auto application =
      std::make_unique<DesktopApplication>(*parts.loop, appId, bundlePath, parseLaunchArguments(argc, argv));
  DesktopApplication* app = application.get();
  parts.alerts = std::make_unique<GtkAlerts>(*parts.loop, "Quillmark", appId,
                                             [app] { return app->activationPolicy(); });
  parts.workspace = std::make_unique<HandOverWorkspace>(plainWorkspace, *app);
  parts.application = std::move(application);
  return parts;
}

}  // namespace ql::linux_backend::desktop

// Exported from the module (default visibility); the launcher finds it with
// dlsym, its type checked against MakeDesktopPartsEntry below.
extern "C" __attribute__((visibility("default"))) void ql_desktop_make_parts(
    int argc, char** argv, const std::map<std::string, std::string>* environment, ql::Workspace* plainWorkspace,
    std::optional<ql::linux_backend::desktop::DesktopParts>* out) {
  *out = ql::linux_backend::desktop::makeDesktopParts(argc, argv, *environment, *plainWorkspace);
}
static_assert(std::is_same_v<decltype(&ql_desktop_make_parts), ql::linux_backend::desktop::MakeDesktopPartsEntry>);
