// Alerts as GTK 3 message dialogs. GTK is loaded (dlopen) and started at
// the first alert, not before: a launcher that never shows one neither maps
// GTK's ~70 libraries nor opens a display connection. With no display, or
// no loadable GTK, the alert goes to the headless path instead.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/alerts.h"
#include "platform/application.h"
#include "platform/linux/linux_basics.h"
#include "platform/linux/main_loop.h"

namespace ql::linux_backend::desktop {

// GtkMessageType for an alert style: critical is an error dialog, the
// other two keep their own look (warning, information).
int messageTypeForStyle(AlertStyle style);

// The themed icon shown beside an alert's text. GTK 3 message dialogs draw
// none, so without it a failure looks exactly like a question. A critical
// alert always shows the error sign; the others show the application's own
// icon when the icon theme has it (the installed copy puts it there), else
// the warning sign, as a Mac alert shows the app icon.
std::string alertIconName(AlertStyle style, const std::string& applicationIcon, bool themeHasApplicationIcon);

// The GTK 3 runtime's soname, as the dynamic linker finds it.
inline constexpr const char* kGtkLibrary = "libgtk-3.so.0";

class GtkAlerts : public Alerts {
 public:
  // `windowTitle` names every dialog's window (the application's name: the
  // question itself is the dialog's bold primary text). `policy`
  // reports the application's activation policy when an alert is
  // shown: a regular app's dialog is listed in the task bar, an accessory's
  // is not. `gtkLibrary` is the library loaded at the first alert; tests
  // name a missing one to take the no-GTK path.
  GtkAlerts(MainLoop& loop, std::string windowTitle, std::string iconName,
            std::function<ActivationPolicy()> policy, std::string gtkLibrary = kGtkLibrary);
  ~GtkAlerts() override;

  // A dialog window is not a panel: the non-activating bit has no GTK
  // counterpart, and window managers decide focus themselves.
  bool alertWindowIsPanel() override { return false; }
  int runModal(const Alert& alert) override;

  // Loads and starts GTK if that has not been tried yet; false when GTK
  // cannot be loaded or there is no display.
  bool ensureDisplay();

 private:
  struct GtkLibrary;  // the functions resolved from the loaded library
  enum class Gtk { kNotTried, kReady, kUnavailable };
  MainLoop& loop_;
  std::string title_;
  std::string iconName_;
  std::function<ActivationPolicy()> policy_;
  std::string gtkLibrary_;
  Gtk state_ = Gtk::kNotTried;
  std::unique_ptr<GtkLibrary> gtk_;
  HeadlessAlerts headless_;
};

}  // namespace ql::linux_backend::desktop
