#include "platform/linux/desktop/gtk_alerts.h"

#include <dlfcn.h>
// Declarations and enums only: nothing here may call GTK by name, or the
// launcher would need libgtk-3 at load time again. Every call goes through
// GtkLibrary below, and GTK's cast macros (GTK_DIALOG(x)…) are avoided
// because they call the *_get_type() functions.
#include <gtk/gtk.h>

#include <cstdio>

#include "platform/linux/desktop/desktop_rules.h"

namespace ql::linux_backend::desktop {

// The GTK and GDK functions the alerts use. decltype(&::name) takes each
// pointer's type from GTK's own header, so a mismatched signature cannot
// slip in; GDK's functions are found through libgtk-3's dependencies.
#define QL_GTK_FUNCTIONS(X)                  \
  X(gdk_display_get_default)                 \
  X(gdk_display_flush)                       \
  X(gtk_disable_setlocale)                   \
  X(gtk_init_check)                          \
  X(gtk_window_set_default_icon_name)        \
  X(gtk_message_dialog_new)                  \
  X(gtk_message_dialog_format_secondary_text) \
  X(gtk_dialog_add_button)                   \
  X(gtk_dialog_set_default_response)         \
  X(gtk_dialog_run)                          \
  X(gtk_window_set_title)                    \
  X(gtk_window_set_position)                 \
  X(gtk_window_set_keep_above)               \
  X(gtk_window_set_skip_taskbar_hint)        \
  X(gtk_window_set_skip_pager_hint)          \
  X(gtk_widget_destroy)                      \
  X(gtk_message_dialog_get_message_area)     \
  X(gtk_widget_get_parent)                   \
  X(gtk_box_pack_start)                      \
  X(gtk_box_reorder_child)                   \
  X(gtk_image_new_from_icon_name)            \
  X(gtk_widget_set_valign)                   \
  X(gtk_widget_show)                         \
  X(gtk_widget_grab_focus)                   \
  X(gtk_widget_get_style_context)            \
  X(gtk_style_context_add_class)             \
  X(gtk_dialog_get_widget_for_response)      \
  X(gtk_icon_theme_get_default)              \
  X(gtk_icon_theme_lookup_icon)              \
  X(g_object_unref)

struct GtkAlerts::GtkLibrary {
#define QL_GTK_MEMBER(name) decltype(&::name) name = nullptr;
  QL_GTK_FUNCTIONS(QL_GTK_MEMBER)
#undef QL_GTK_MEMBER

  // Loads the library and every function, or returns why not. The library
  // is never closed: GTK registers types and threads that cannot be
  // unloaded, and a second alert would load it again anyway.
  static std::unique_ptr<GtkLibrary> load(const std::string& soname, std::string& error) {
    void* handle = ::dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      const char* why = ::dlerror();
      error = why ? why : soname + ": cannot be loaded";
      return nullptr;
    }
    auto gtk = std::make_unique<GtkLibrary>();
    bool complete = true;
#define QL_GTK_RESOLVE(name)                                                   \
  gtk->name = reinterpret_cast<decltype(gtk->name)>(::dlsym(handle, #name));   \
  if (!gtk->name) {                                                            \
    error = soname + ": no " #name;                                            \
    complete = false;                                                          \
  }
    QL_GTK_FUNCTIONS(QL_GTK_RESOLVE)
#undef QL_GTK_RESOLVE
    if (!complete) return nullptr;  // the handle stays open: see above
    return gtk;
  }
};

#undef QL_GTK_FUNCTIONS

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

std::string alertIconName(AlertStyle style, const std::string& applicationIcon, bool themeHasApplicationIcon) {
  if (style == AlertStyle::kCritical) return "dialog-error";
  if (!applicationIcon.empty() && themeHasApplicationIcon) return applicationIcon;
  return "dialog-warning";
}

GtkAlerts::GtkAlerts(MainLoop& loop, std::string windowTitle, std::string iconName,
                     std::function<ActivationPolicy()> policy, std::string gtkLibrary)
    : loop_(loop),
      title_(std::move(windowTitle)),
      iconName_(std::move(iconName)),
      policy_(std::move(policy)),
      gtkLibrary_(std::move(gtkLibrary)) {}

GtkAlerts::~GtkAlerts() = default;

bool GtkAlerts::ensureDisplay() {
  if (state_ == Gtk::kNotTried) {
    state_ = Gtk::kUnavailable;
    std::string error;
    gtk_ = GtkLibrary::load(gtkLibrary_, error);
    if (!gtk_) {
      // The alert itself still reaches the user through the headless path
      // (standard error); this line says why it is not a window.
      std::fprintf(stderr, "[alert] no dialogs: %s\n", error.c_str());
      return false;
    }
    // GTK would otherwise switch the whole process to the user's locale;
    // the launcher's log lines, numbers and dates are meant to stay in the
    // C locale whatever the desktop's language.
    if (!gtk_->gdk_display_get_default()) gtk_->gtk_disable_setlocale();  // only valid before GTK starts
    if (gtk_->gtk_init_check(nullptr, nullptr)) {
      state_ = Gtk::kReady;
      if (!iconName_.empty()) gtk_->gtk_window_set_default_icon_name(iconName_.c_str());
    }
  }
  return state_ == Gtk::kReady;
}

int GtkAlerts::runModal(const Alert& alert) {
  // GTK belongs to the main thread; an alert from anywhere else, or with no
  // display to show it on, takes the headless path.
  if (!loop_.isMainThread() || !ensureDisplay()) return headless_.runModal(alert);
  const GtkLibrary& gtk = *gtk_;

  GtkWidget* dialog = gtk.gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL,
                                                 static_cast<GtkMessageType>(messageTypeForStyle(alert.style)),
                                                 GTK_BUTTONS_NONE, "%s", alert.messageText.c_str());
  // Plain casts up GObject's single-inheritance chain: the object is a
  // GtkMessageDialog, so it is also a GtkDialog and a GtkWindow.
  auto* asDialog = reinterpret_cast<GtkDialog*>(dialog);
  auto* asWindow = reinterpret_cast<GtkWindow*>(dialog);
  if (!alert.informativeText.empty()) {
    gtk.gtk_message_dialog_format_secondary_text(reinterpret_cast<GtkMessageDialog*>(dialog), "%s",
                                                 alert.informativeText.c_str());
  }
  auto labels = dialogButtonLabels(alert.buttons);
  for (size_t i = 0; i < labels.size(); ++i) {
    gtk.gtk_dialog_add_button(asDialog, labels[i].c_str(), kAlertFirstButtonReturn + static_cast<int>(i));
  }
  // Return answers the first button, as it does on the Mac, and the first
  // button looks like the answer Return gives (Adwaita draws it blue).
  // Focus starts on it too: otherwise GTK may put it on the selectable
  // message text, where Return does nothing and the text shows selected.
  // Tab then walks the buttons in order; Escape and the close button answer
  // as the closed window.
  gtk.gtk_dialog_set_default_response(asDialog, kAlertFirstButtonReturn);
  if (GtkWidget* first = gtk.gtk_dialog_get_widget_for_response(asDialog, kAlertFirstButtonReturn)) {
    gtk.gtk_style_context_add_class(gtk.gtk_widget_get_style_context(first), "suggested-action");
    gtk.gtk_widget_grab_focus(first);
  }
  // A lookup, not gtk_icon_theme_has_icon: that one misses icons lying
  // loose in a search-path folder, which a lookup (and so the image) finds.
  bool haveAppIcon = false;
  if (!iconName_.empty()) {
    if (GtkIconInfo* info = gtk.gtk_icon_theme_lookup_icon(gtk.gtk_icon_theme_get_default(), iconName_.c_str(), 48,
                                                           static_cast<GtkIconLookupFlags>(0))) {
      haveAppIcon = true;
      gtk.g_object_unref(info);
    }
  }
  std::string iconName = alertIconName(alert.style, iconName_, haveAppIcon);
  // The image goes where GtkMessageDialog itself once put one: first in the
  // row that holds the text column.
  GtkWidget* textColumn = gtk.gtk_message_dialog_get_message_area(reinterpret_cast<GtkMessageDialog*>(dialog));
  if (GtkWidget* row = textColumn ? gtk.gtk_widget_get_parent(textColumn) : nullptr) {
    GtkWidget* image = gtk.gtk_image_new_from_icon_name(iconName.c_str(), GTK_ICON_SIZE_DIALOG);
    gtk.gtk_widget_set_valign(image, GTK_ALIGN_START);
    gtk.gtk_box_pack_start(reinterpret_cast<GtkBox*>(row), image, FALSE, FALSE, 0);
    gtk.gtk_box_reorder_child(reinterpret_cast<GtkBox*>(row), image, 0);
    gtk.gtk_widget_show(image);
  }
  // Every dialog's window is named after the application: a task bar or
  // window list says whose question waits; the question is the bold text.
  gtk.gtk_window_set_title(asWindow, title_.c_str());
  gtk.gtk_window_set_position(asWindow, GTK_WIN_POS_CENTER);
  // A raised window level (the modal-panel level the launcher asks for)
  // becomes keep-above: the question must not hide behind a browser.
  gtk.gtk_window_set_keep_above(asWindow, alert.windowLevel > 0);
  bool listed = !policy_ || policy_() == ActivationPolicy::kRegular;
  gtk.gtk_window_set_skip_taskbar_hint(asWindow, !listed);
  gtk.gtk_window_set_skip_pager_hint(asWindow, !listed);

  int response = gtk.gtk_dialog_run(asDialog);  // presents the dialog
  gtk.gtk_widget_destroy(dialog);
  // The launcher usually blocks right after an answer (copying a bundle,
  // quitting); the window must be gone from the screen before that.
  gtk.gdk_display_flush(gtk.gdk_display_get_default());
  return alertResponseForDialog(response, alert.buttons.size());
}

}  // namespace ql::linux_backend::desktop
