#include "platform/linux/desktop/desktop_application.h"

#include <gio/gio.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "platform/linux/desktop/desktop_entry.h"
#include "platform/linux/linux_basics.h"
#include "platform/linux/linux_workspace.h"

namespace ql::linux_backend::desktop {

namespace {

// A disabled, stateful action whose state is the bundle the running
// instance was started from; a second launch reads it over the bus to tell
// "the same app again" (a reopen) from "another copy" (which must run, so
// that its own install flow can speak).
constexpr const char* kInstanceBundleAction = "instance-bundle";

void say(const std::string& text) {
  std::string line = "desktop: " + text + "\n";
  (void)!::write(STDERR_FILENO, line.data(), line.size());
}

void appendMenu(GMenu* into, const Menu& menu) {
  GMenu* section = g_menu_new();
  auto flush = [&] {
    if (g_menu_model_get_n_items(G_MENU_MODEL(section)) > 0) g_menu_append_section(into, nullptr, G_MENU_MODEL(section));
    g_object_unref(section);
    section = g_menu_new();
  };
  for (const auto& item : menu.items) {
    if (item.separator) {
      flush();
      continue;
    }
    if (item.submenu) {
      // The macOS main menu holds one untitled item whose submenu is the
      // application menu; untitled holders are flattened into their parent.
      if (item.title.empty()) {
        flush();
        appendMenu(into, *item.submenu);
      } else {
        GMenu* sub = g_menu_new();
        appendMenu(sub, *item.submenu);
        g_menu_append_submenu(section, item.title.c_str(), G_MENU_MODEL(sub));
        g_object_unref(sub);
      }
      continue;
    }
    GMenuItem* entry = g_menu_item_new(item.title.c_str(), nullptr);
    if (auto name = exportedActionForSelector(item.action)) {
      g_menu_item_set_detailed_action(entry, ("app." + *name).c_str());
      std::string accel = acceleratorForKeyEquivalent(item.keyEquivalent);
      if (!accel.empty()) g_menu_item_set_attribute(entry, "accel", "s", accel.c_str());
    }
    g_menu_append_item(section, entry);
    g_object_unref(entry);
  }
  flush();
  g_object_unref(section);
}

// GApplication with two hooks of its class: a launch that hands its request
// to the running instance sends along what it was started with
// (add_platform_data), and the running instance notes what each incoming
// request carried (before_emit) before the reopen or the action runs, so
// that bringing the shell forward can tell the window manager when the
// user asked. GtkApplication does the same; the launcher does not link GTK.
GApplicationClass* launcherApplicationParent = nullptr;

void launcherBeforeEmit(GApplication* app, GVariant* platformData) {
  UserRequest request;
  const char* value = nullptr;
  if (platformData && g_variant_lookup(platformData, "desktop-startup-id", "&s", &value)) request.startupId = value;
  if (platformData && g_variant_lookup(platformData, "activation-token", "&s", &value)) request.activationToken = value;
  noteUserRequest(std::move(request));
  launcherApplicationParent->before_emit(app, platformData);
}

void launcherAddPlatformData(GApplication* app, GVariantBuilder* builder) {
  launcherApplicationParent->add_platform_data(app, builder);
  if (const char* id = g_getenv("DESKTOP_STARTUP_ID"); id && *id) {
    g_variant_builder_add(builder, "{sv}", "desktop-startup-id", g_variant_new_string(id));
  }
  if (const char* token = g_getenv("XDG_ACTIVATION_TOKEN"); token && *token) {
    g_variant_builder_add(builder, "{sv}", "activation-token", g_variant_new_string(token));
  }
}

GType launcherApplicationType() {
  static gsize type = 0;
  if (g_once_init_enter(&type)) {
    GType t = g_type_register_static_simple(
        G_TYPE_APPLICATION, "QlLauncherApplication", sizeof(GApplicationClass),
        +[](gpointer klass, gpointer) {
          launcherApplicationParent = static_cast<GApplicationClass*>(g_type_class_peek_parent(klass));
          auto* c = static_cast<GApplicationClass*>(klass);
          c->before_emit = launcherBeforeEmit;
          c->add_platform_data = launcherAddPlatformData;
        },
        sizeof(GApplication), nullptr, static_cast<GTypeFlags>(0));
    g_once_init_leave(&type, t);
  }
  return static_cast<GType>(type);
}

void collectSelectors(const Menu& menu, std::vector<std::string>& out) {
  for (const auto& item : menu.items) {
    if (!item.action.empty()) out.push_back(item.action);
    if (item.submenu) collectSelectors(*item.submenu, out);
  }
}

}  // namespace

GMenuModel* buildMenuModel(const Menu& mainMenu) {
  GMenu* root = g_menu_new();
  appendMenu(root, mainMenu);
  return G_MENU_MODEL(root);
}

DesktopApplication::DesktopApplication(MainLoop& loop, std::string applicationId, std::string bundlePath,
                                       LaunchRequest request)
    : LinuxApplication(loop),
      applicationId_(isValidApplicationId(applicationId) ? std::move(applicationId) : kDefaultApplicationId),
      bundlePath_(std::move(bundlePath)),
      request_(std::move(request)),
      menuModel_(g_menu_new()) {
  // Actions exist from the start so a bus client sees them. "open" stays
  // disabled until the menu that carries it is installed: before that the
  // launcher is still deciding whether to install itself and has nothing
  // to open. "quit" works from the start, as a Dock icon's Quit does: a
  // quit asked for during the install prompt is kept and honoured once the
  // prompt is answered.
  openAction_ = g_simple_action_new("open", nullptr);
  quitAction_ = g_simple_action_new("quit", nullptr);
  g_simple_action_set_enabled(openAction_, FALSE);
  g_simple_action_set_enabled(quitAction_, TRUE);
  auto onActivate = +[](GSimpleAction* action, GVariant*, gpointer self) {
    auto* app = static_cast<DesktopApplication*>(self);
    const char* selector = action == app->openAction_ ? kOpenInBrowserAction : kTerminateAction;
    app->performAction(selector);
  };
  g_signal_connect(openAction_, "activate", G_CALLBACK(onActivate), this);
  g_signal_connect(quitAction_, "activate", G_CALLBACK(onActivate), this);
}

DesktopApplication::~DesktopApplication() {
  dropApplication();
  g_object_unref(openAction_);
  g_object_unref(quitAction_);
  g_object_unref(menuModel_);
}

void DesktopApplication::createApplication(bool unique) {
  // Replacement is allowed by every instance, so that a freshly installed
  // copy relaunched with --gapplication-replace can take the id over from
  // the copy that installed it.
  auto flags = static_cast<GApplicationFlags>(G_APPLICATION_ALLOW_REPLACEMENT);
  if (!unique) flags = static_cast<GApplicationFlags>(flags | G_APPLICATION_NON_UNIQUE);
  if (unique && request_.replaceRunning) flags = static_cast<GApplicationFlags>(flags | G_APPLICATION_REPLACE);
  app_ = G_APPLICATION(
      g_object_new(launcherApplicationType(), "application-id", applicationId_.c_str(), "flags", flags, nullptr));
  g_action_map_add_action(G_ACTION_MAP(app_), G_ACTION(openAction_));
  g_action_map_add_action(G_ACTION_MAP(app_), G_ACTION(quitAction_));
  GSimpleAction* bundle =
      g_simple_action_new_stateful(kInstanceBundleAction, nullptr, g_variant_new_string(bundlePath_.c_str()));
  g_simple_action_set_enabled(bundle, FALSE);
  g_action_map_add_action(G_ACTION_MAP(app_), G_ACTION(bundle));
  g_object_unref(bundle);

  // In the primary, "activate" is a later launch of the same app: a reopen.
  g_signal_connect(app_, "activate", G_CALLBACK(+[](GApplication*, gpointer self) {
                     static_cast<DesktopApplication*>(self)->reopen();
                   }),
                   this);
  // Losing the id to a replacement (the installed copy starting) must not
  // end this process behind its delegate's back: the installing copy quits
  // through its own path once the relaunch has completed.
  g_signal_connect(app_, "name-lost", G_CALLBACK(+[](GApplication*, gpointer) -> gboolean {
                     say("no longer the running instance of the application id");
                     return TRUE;
                   }),
                   this);
}

void DesktopApplication::dropApplication() {
  if (!app_) return;
  if (menuExportId_) {
    if (GDBusConnection* c = g_application_get_dbus_connection(app_)) {
      g_dbus_connection_unexport_menu_model(c, menuExportId_);
    }
    menuExportId_ = 0;
  }
  g_object_unref(app_);
  app_ = nullptr;
}

std::string DesktopApplication::runningInstanceBundle() {
  GVariant* state = g_action_group_get_action_state(G_ACTION_GROUP(app_), kInstanceBundleAction);
  if (!state) return "";
  std::string path;
  if (g_variant_is_of_type(state, G_VARIANT_TYPE_STRING)) path = g_variant_get_string(state, nullptr);
  g_variant_unref(state);
  return path;
}

void DesktopApplication::registerInstance() {
  if (role_ != Role::kNotStarted) return;
  createApplication(true);
  GError* error = nullptr;
  if (!g_application_register(app_, nullptr, &error)) {
    say(std::string("couldn't register on the session bus (") + (error ? error->message : "unknown") +
        "); running on its own");
    g_clear_error(&error);
    dropApplication();
    createApplication(false);
    if (!g_application_register(app_, nullptr, &error)) g_clear_error(&error);
    role_ = Role::kSeparate;
    return;
  }
  if (!g_application_get_is_remote(app_)) {
    // Without a session bus GApplication registers as a non-unique app and
    // says nothing; there is simply no bus connection then.
    role_ = g_application_get_dbus_connection(app_) ? Role::kPrimary : Role::kSeparate;
    exportMenu();
    return;
  }
  // Another process holds the id.
  std::string theirs = runningInstanceBundle();
  if (!request_.action.empty()) {
    g_action_group_activate_action(G_ACTION_GROUP(app_), request_.action.c_str(), nullptr);
  } else if (request_.replaceRunning || theirs != bundlePath_) {
    // A relaunch whose takeover was refused, or another copy of the app:
    // either must start for real rather than vanish into a reopen.
    say("running alongside the instance of " + (theirs.empty() ? std::string("an unknown bundle") : theirs));
    dropApplication();
    createApplication(false);
    if (!g_application_register(app_, nullptr, &error)) g_clear_error(&error);
    role_ = Role::kSeparate;
    exportMenu();
    return;
  } else {
    g_application_activate(app_);
  }
  // Both calls above are fire-and-forget messages; they must be on the wire
  // before this process ends.
  if (GDBusConnection* c = g_application_get_dbus_connection(app_)) g_dbus_connection_flush_sync(c, nullptr, nullptr);
  role_ = Role::kForwarded;
}

void DesktopApplication::exportMenu() {
  if (!app_ || menuExportId_) return;
  GDBusConnection* c = g_application_get_dbus_connection(app_);
  const char* base = g_application_get_dbus_object_path(app_);
  if (!c || !base) return;
  std::string path = std::string(base) + "/menus/appmenu";
  GError* error = nullptr;
  menuExportId_ = g_dbus_connection_export_menu_model(c, path.c_str(), G_MENU_MODEL(menuModel_), &error);
  g_clear_error(&error);
}

void DesktopApplication::setMainMenu(std::shared_ptr<Menu> menu) {
  LinuxApplication::setMainMenu(menu);
  std::vector<std::string> selectors;
  if (menu) collectSelectors(*menu, selectors);
  auto has = [&](const char* s) {
    for (const auto& x : selectors) {
      if (x == s) return true;
    }
    return false;
  };
  g_simple_action_set_enabled(openAction_, has(kOpenInBrowserAction));
  g_simple_action_set_enabled(quitAction_, has(kTerminateAction));
  // Refill the exported model in place: subscribers get the change signal.
  g_menu_remove_all(menuModel_);
  if (menu) {
    GMenuModel* built = buildMenuModel(*menu);
    for (int i = 0, n = g_menu_model_get_n_items(built); i < n; ++i) {
      GMenuItem* item = g_menu_item_new_from_model(built, i);
      g_menu_append_item(menuModel_, item);
      g_object_unref(item);
    }
    g_object_unref(built);
  }
}

void DesktopApplication::stepAside() {
  if (role_ != Role::kPrimary || !app_) return;
  GDBusConnection* c = g_application_get_dbus_connection(app_);
  if (!c) return;
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      c, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ReleaseName",
      g_variant_new("(s)", applicationId_.c_str()), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
      &error);
  if (reply) {
    g_variant_unref(reply);
    role_ = Role::kSeparate;
  } else {
    say(std::string("couldn't give up the application id (") + error->message + ")");
    g_clear_error(&error);
  }
}

bool DesktopApplication::actionEnabled(const std::string& name) const {
  if (name == "open") return g_action_get_enabled(G_ACTION(openAction_));
  if (name == "quit") return g_action_get_enabled(G_ACTION(quitAction_));
  return false;
}

void DesktopApplication::run() {
  registerInstance();
  if (role_ == Role::kForwarded) return;
  if (request_.action == "quit") {
    // Nothing of ours runs that could be quit; don't start one to do it.
    say("Quillmark isn't running");
    return;
  }
  refreshDesktopEntry(bundlePath_, currentExecutablePath(), applicationId_);
  LinuxApplication::run();
  // A quit that came over the bus ("Quit Quillmark" from the desktop) has
  // its reply queued but maybe not sent; the caller should not see an error.
  if (GDBusConnection* c = app_ ? g_application_get_dbus_connection(app_) : nullptr) {
    g_dbus_connection_flush_sync(c, nullptr, nullptr);
  }
}

}  // namespace ql::linux_backend::desktop
