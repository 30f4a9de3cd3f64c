// Alerts as GTK 3 message dialogs. GTK is started at the first alert, not
// before: a launcher that never shows one never loads a display connection.
// With no display the alert goes to the headless path instead.
#pragma once

#include <functional>
#include <string>

#include "platform/alerts.h"
#include "platform/application.h"
#include "platform/linux/linux_basics.h"
#include "platform/linux/main_loop.h"

namespace ql::linux_backend::desktop {

// GtkMessageType for an alert style: critical is an error dialog, the
// other two keep their own look (warning, information).
int messageTypeForStyle(AlertStyle style);

class GtkAlerts : public Alerts {
 public:
  // `windowTitle` names a dialog whose alert has no message text. `policy`
  // reports the application's activation policy when an alert is
  // shown: a regular app's dialog is listed in the task bar, an accessory's
  // is not.
  GtkAlerts(MainLoop& loop, std::string windowTitle, std::string iconName,
            std::function<ActivationPolicy()> policy);

  // A dialog window is not a panel: the non-activating bit has no GTK
  // counterpart, and window managers decide focus themselves.
  bool alertWindowIsPanel() override { return false; }
  int runModal(const Alert& alert) override;

  // Starts GTK if it has not been tried yet; false when there is no display.
  bool ensureDisplay();

 private:
  enum class Gtk { kNotTried, kReady, kUnavailable };
  MainLoop& loop_;
  std::string title_;
  std::string iconName_;
  std::function<ActivationPolicy()> policy_;
  Gtk gtk_ = Gtk::kNotTried;
  HeadlessAlerts headless_;
};

}  // namespace ql::linux_backend::desktop
