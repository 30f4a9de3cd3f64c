#include "platform/linux/desktop/gtk_alerts.h"

#include <gtk/gtk.h>

#include "platform/linux/desktop/desktop_rules.h"

namespace ql::linux_backend::desktop {

int messageTypeForStyle(AlertStyle style) {
  switch (style) {
    case AlertStyle::kCritical:
      return GTK_MESSAGE_ERROR;
    case AlertStyle::kInformational:
      return GTK_MESSAGE_INFO;
    case AlertStyle::kWarning:
      break;
  }
  return GTK_MESSAGE_WARNING;
}

GtkAlerts::GtkAlerts(MainLoop& loop, std::string windowTitle, std::string iconName,
                     std::function<ActivationPolicy()> policy)
    : loop_(loop), title_(std::move(windowTitle)), iconName_(std::move(iconName)), policy_(std::move(policy)) {}

bool GtkAlerts::ensureDisplay() {
  if (gtk_ == Gtk::kNotTried) {
    // GTK would otherwise switch the whole process to the user's locale;
    // the launcher's log lines, numbers and dates are meant to stay in the
    // C locale whatever the desktop's language.
    if (!gdk_display_get_default()) gtk_disable_setlocale();  // only valid before GTK starts
    gtk_ = gtk_init_check(nullptr, nullptr) ? Gtk::kReady : Gtk::kUnavailable;
    if (gtk_ == Gtk::kReady && !iconName_.empty()) gtk_window_set_default_icon_name(iconName_.c_str());
  }
  return gtk_ == Gtk::kReady;
}

int GtkAlerts::runModal(const Alert& alert) {
  // GTK belongs to the main thread; an alert from anywhere else, or with no
  // display to show it on, takes the headless path.
  if (!loop_.isMainThread() || !ensureDisplay()) return headless_.runModal(alert);

  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL,
                                             static_cast<GtkMessageType>(messageTypeForStyle(alert.style)),
                                             GTK_BUTTONS_NONE, "%s", alert.messageText.c_str());
  if (!alert.informativeText.empty()) {
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", alert.informativeText.c_str());
  }
  auto labels = dialogButtonLabels(alert.buttons);
  for (size_t i = 0; i < labels.size(); ++i) {
    gtk_dialog_add_button(GTK_DIALOG(dialog), labels[i].c_str(), kAlertFirstButtonReturn + static_cast<int>(i));
  }
  // Return answers the first button, as it does on the Mac.
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), kAlertFirstButtonReturn);
  // The message doubles as the window title, so a task bar or window list
  // says which question is waiting, not just whose.
  gtk_window_set_title(GTK_WINDOW(dialog), alert.messageText.empty() ? title_.c_str() : alert.messageText.c_str());
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  // A raised window level (the modal-panel level the launcher asks for)
  // becomes keep-above: the question must not hide behind a browser.
  gtk_window_set_keep_above(GTK_WINDOW(dialog), alert.windowLevel > 0);
  bool listed = !policy_ || policy_() == ActivationPolicy::kRegular;
  gtk_window_set_skip_taskbar_hint(GTK_WINDOW(dialog), !listed);
  gtk_window_set_skip_pager_hint(GTK_WINDOW(dialog), !listed);

  int response = gtk_dialog_run(GTK_DIALOG(dialog));  // presents the dialog
  gtk_widget_destroy(dialog);
  // The launcher usually blocks right after an answer (copying a bundle,
  // quitting); the window must be gone from the screen before that.
  gdk_display_flush(gdk_display_get_default());
  return alertResponseForDialog(response, alert.buttons.size());
}

}  // namespace ql::linux_backend::desktop
