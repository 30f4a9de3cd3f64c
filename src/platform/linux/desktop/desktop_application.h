// The application object on GIO's GApplication: one instance per session
// under the bundle's application id, the menu's items exported as
// application actions, a second launch turned into a reopen of the running
// instance. The event loop, the delegate calls and the quit path are
// LinuxApplication's, run on a GLib main loop.
#pragma once

#include <memory>
#include <string>

#include "platform/linux/desktop/desktop_rules.h"
#include "platform/linux/linux_application.h"

typedef struct _GApplication GApplication;
typedef struct _GMenu GMenu;
typedef struct _GMenuModel GMenuModel;
typedef struct _GSimpleAction GSimpleAction;

namespace ql::linux_backend::desktop {

// The application menu as a GMenu: separators start sections; items whose
// selector is exported point at "app.<name>" and carry their accelerator.
// Returns a new reference.
GMenuModel* buildMenuModel(const Menu& mainMenu);

class DesktopApplication : public LinuxApplication {
 public:
  enum class Role {
    kNotStarted,
    kPrimary,    // owns the application id on the session bus
    kSeparate,   // runs on its own: no bus, or another bundle holds the id
    kForwarded,  // handed its launch to the running instance; run() returned
  };

  // `loop` must run GLib's default main context (GlibMainLoop).
  DesktopApplication(MainLoop& loop, std::string applicationId, std::string bundlePath, LaunchRequest request);
  ~DesktopApplication() override;

  void setMainMenu(std::shared_ptr<Menu> menu) override;
  // Registers with the session bus first. A launch that only reaches the
  // running instance returns without calling the delegate at all.
  void run() override;

  // Registers without running the loop (run() does this itself).
  void registerInstance();
  Role role() const { return role_; }
  const std::string& applicationId() const { return applicationId_; }
  // Gives up the application id (main thread), so that the next launch
  // becomes the running instance. Used when this process opens its own
  // successor; it keeps running until it quits by itself.
  void stepAside();
  // Whether an exported action ("open", "quit") is currently enabled.
  bool actionEnabled(const std::string& name) const;

 private:
  void createApplication(bool unique);
  void dropApplication();
  std::string runningInstanceBundle();
  void exportMenu();

  std::string applicationId_;
  std::string bundlePath_;
  LaunchRequest request_;
  Role role_ = Role::kNotStarted;
  GApplication* app_ = nullptr;
  GMenu* menuModel_ = nullptr;
  GSimpleAction* openAction_ = nullptr;
  GSimpleAction* quitAction_ = nullptr;
  unsigned menuExportId_ = 0;
};

}  // namespace ql::linux_backend::desktop
