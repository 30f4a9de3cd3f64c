// The desktop backend without a display or a session bus.
#include <dlfcn.h>
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <sys/stat.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/linux/desktop/desktop_application.h"
#include "platform/linux/desktop/desktop_entry.h"
#include "platform/linux/desktop/desktop_rules.h"
#include "platform/linux/desktop/glib_main_loop.h"
#include "platform/linux/desktop/gtk_alerts.h"

namespace ql::linux_backend::desktop {
namespace {

// A fresh directory under $TMPDIR, removed with its contents afterwards.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = std::string(g_get_tmp_dir()) + "/ql-desktop-XXXXXX";
    path_ = g_mkdtemp(tmpl.data()) ? tmpl : "";
    EXPECT_FALSE(path_.empty());
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (!path_.empty()) {
      EXPECT_EQ(std::system(cmd.c_str()), 0);
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void makeDirs(const std::string& path) { ASSERT_EQ(g_mkdir_with_parents(path.c_str(), 0755), 0) << path; }

void writeFile(const std::string& path, const std::string& contents, int mode = 0644) {
  GError* error = nullptr;
  ASSERT_TRUE(g_file_set_contents_full(path.c_str(), contents.data(), static_cast<gssize>(contents.size()),
                                       G_FILE_SET_CONTENTS_NONE, mode, &error))
      << (error ? error->message : "");
}

std::string readFile(const std::string& path) {
  gchar* data = nullptr;
  gsize size = 0;
  if (!g_file_get_contents(path.c_str(), &data, &size, nullptr)) return "<missing>";
  std::string out(data, size);
  g_free(data);
  return out;
}

// ---- application id -------------------------------------------------------

TEST(ApplicationId, BundleIdentifiersBecomeValidIds) {
  struct Case {
    std::optional<std::string> bundleId;
    std::string expected;
  } cases[] = {
      {std::nullopt, "com.talvoria.zorvan"},
      {"", "com.talvoria.zorvan"},
      {"com.talvoria.zorvan", "com.talvoria.zorvan"},
      {"com.example.Quill-mark_2", "com.example.Quill-mark_2"},
      {"com.example.quill mark", "com.example.quill_mark"},   // space is not allowed
      {"com.2fast.app", "com._2fast.app"},                    // element starts with a digit
      {"..com..example.", "com.example"},                     // empty elements dropped
      {"singleword", "com.talvoria.zorvan"},                  // one element is not an id
      {"com.ex\xc3\xa4mple.app", "com.ex__mple.app"},         // non-ASCII bytes
      {"com.example." + std::string(300, 'a'), "com.talvoria.zorvan"},  // too long
  };
  for (const auto& c : cases) {
    std::string id = applicationIdFor(c.bundleId);
    EXPECT_EQ(id, c.expected) << (c.bundleId ? *c.bundleId : "<none>");
    // The arbiter is GLib itself: g_application_new aborts on anything else.
    EXPECT_TRUE(g_application_id_is_valid(id.c_str())) << id;
    EXPECT_EQ(isValidApplicationId(id), true);
  }
  for (const char* bad : {"", "a", "a.", ".a.b", "a..b", "a.1b", "a.b c", "a.b/c"}) {
    EXPECT_EQ(isValidApplicationId(bad), static_cast<bool>(g_application_id_is_valid(bad))) << bad;
  }
}

// ---- actions, accelerators, menu model ----------------------------------

TEST(Actions, SelectorsMapToExportedNamesBothWays) {
  EXPECT_EQ(exportedActionForSelector("openInBrowser:"), "open");
  EXPECT_EQ(exportedActionForSelector("terminate:"), "quit");
  EXPECT_EQ(exportedActionForSelector("orderFrontStandardAboutPanel:"), std::nullopt);
  EXPECT_EQ(selectorForExportedAction("open"), "openInBrowser:");
  EXPECT_EQ(selectorForExportedAction("quit"), "terminate:");
  EXPECT_EQ(selectorForExportedAction("instance-bundle"), std::nullopt);
}

TEST(Actions, KeyEquivalentsBecomeAccelerators) {
  struct Case {
    std::string key, accel;
  } cases[] = {{"n", "<Primary>n"}, {"q", "<Primary>q"}, {"N", "<Primary><Shift>n"}, {"1", "<Primary>1"},
               {"", ""},           {"nq", ""},          {"\r", ""},                 {",", ""}};
  for (const auto& c : cases) {
    std::string accel = acceleratorForKeyEquivalent(c.key);
    EXPECT_EQ(accel, c.accel) << "key '" << c.key << "'";
  }
}

std::shared_ptr<Menu> launcherMenu() {
  // The shape the launcher installs: an untitled holder whose submenu is the
  // application menu.
  auto appMenu = std::make_shared<Menu>();
  appMenu->items.push_back({"Open Quillmark", kOpenInBrowserAction, "n", false, nullptr});
  appMenu->items.push_back({"", "", "", true, nullptr});
  appMenu->items.push_back({"Quit Quillmark", kTerminateAction, "q", false, nullptr});
  auto main = std::make_shared<Menu>();
  main->items.push_back({"", "", "", false, appMenu});
  return main;
}

std::string itemString(GMenuModel* m, int i, const char* attr) {
  gchar* s = nullptr;
  if (!g_menu_model_get_item_attribute(m, i, attr, "s", &s)) return "<none>";
  std::string out = s;
  g_free(s);
  return out;
}

TEST(MenuModel, LauncherMenuBecomesTwoSectionsWithActionsAndAccels) {
  GMenuModel* model = buildMenuModel(*launcherMenu());
  ASSERT_EQ(g_menu_model_get_n_items(model), 2);  // the separator splits sections
  struct Want {
    std::string label, action, accel;
  } want[] = {{"Open Quillmark", "app.open", "<Primary>n"}, {"Quit Quillmark", "app.quit", "<Primary>q"}};
  for (int s = 0; s < 2; ++s) {
    GMenuModel* section = g_menu_model_get_item_link(model, s, G_MENU_LINK_SECTION);
    ASSERT_NE(section, nullptr);
    ASSERT_EQ(g_menu_model_get_n_items(section), 1);
    EXPECT_EQ(itemString(section, 0, G_MENU_ATTRIBUTE_LABEL), want[s].label);
    EXPECT_EQ(itemString(section, 0, G_MENU_ATTRIBUTE_ACTION), want[s].action);
    EXPECT_EQ(itemString(section, 0, "accel"), want[s].accel);
    g_object_unref(section);
  }
  g_object_unref(model);
}

TEST(MenuModel, ItemWithUnknownSelectorHasNoAction) {
  Menu menu;
  menu.items.push_back({"About", "orderFrontStandardAboutPanel:", "", false, nullptr});
  GMenuModel* model = buildMenuModel(menu);
  GMenuModel* section = g_menu_model_get_item_link(model, 0, G_MENU_LINK_SECTION);
  ASSERT_NE(section, nullptr);
  EXPECT_EQ(itemString(section, 0, G_MENU_ATTRIBUTE_LABEL), "About");
  EXPECT_EQ(itemString(section, 0, G_MENU_ATTRIBUTE_ACTION), "<none>");
  g_object_unref(section);
  g_object_unref(model);
}

// ---- alert mapping ---------------------------------------------------------

TEST(AlertMapping, DialogResponsesBecomeAlertResponses) {
  struct Case {
    int dialog;
    size_t buttons;
    int expected;
  } cases[] = {
      {1000, 2, 1000}, {1001, 2, 1001},
      {1002, 2, kAlertDismissed},                      // no such button
      {1000, 0, 1000},                                 // the supplied "OK"
      {1001, 0, kAlertDismissed},
      {GTK_RESPONSE_DELETE_EVENT, 2, kAlertDismissed}, // window closed / Escape
      {GTK_RESPONSE_NONE, 1, kAlertDismissed},         // dialog destroyed
      {999, 1, kAlertDismissed},
  };
  for (const auto& c : cases) {
    int r = alertResponseForDialog(c.dialog, c.buttons);
    EXPECT_EQ(r, c.expected) << c.dialog << " with " << c.buttons << " buttons";
    if (c.dialog < kAlertFirstButtonReturn) {
      EXPECT_NE(r, kAlertFirstButtonReturn);
    }
  }
}

TEST(AlertMapping, ButtonLabelsKeepOrderAndShowUnderscores) {
  EXPECT_EQ(dialogButtonLabels({}), std::vector<std::string>{"OK"});
  EXPECT_EQ(dialogButtonLabels({"Install", "Not Now"}), (std::vector<std::string>{"Install", "Not Now"}));
  EXPECT_EQ(dialogButtonLabels({"Keep_old", "__"}), (std::vector<std::string>{"Keep__old", "____"}));
}

TEST(AlertMapping, WarningsAndFailuresCarryDifferentImages) {
  struct Case {
    AlertStyle style;
    std::string appIcon;
    bool themeHasIt;
    std::string expected;
  } cases[] = {
      {AlertStyle::kCritical, "com.talvoria.zorvan", true, "dialog-error"},
      {AlertStyle::kCritical, "", false, "dialog-error"},
      {AlertStyle::kWarning, "com.talvoria.zorvan", true, "com.talvoria.zorvan"},
      {AlertStyle::kWarning, "com.talvoria.zorvan", false, "dialog-warning"},
      {AlertStyle::kWarning, "", true, "dialog-warning"},
      {AlertStyle::kInformational, "com.talvoria.zorvan", true, "com.talvoria.zorvan"},
      {AlertStyle::kInformational, "com.talvoria.zorvan", false, "dialog-warning"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(alertIconName(c.style, c.appIcon, c.themeHasIt), c.expected)
        << static_cast<int>(c.style) << " " << c.appIcon << " " << c.themeHasIt;
  }
}

TEST(AlertMapping, StylesBecomeMessageTypes) {
  EXPECT_EQ(messageTypeForStyle(AlertStyle::kWarning), GTK_MESSAGE_WARNING);
  EXPECT_EQ(messageTypeForStyle(AlertStyle::kCritical), GTK_MESSAGE_ERROR);
  EXPECT_EQ(messageTypeForStyle(AlertStyle::kInformational), GTK_MESSAGE_INFO);
}

// ---- launch arguments and session detection ------------------------------

TEST(LaunchArguments, ReplaceAndExportedActionsOnly) {
  struct Case {
    std::vector<std::string> args;
    bool replace;
    std::string action;
  } cases[] = {
      {{}, false, ""},
      {{"--gapplication-replace"}, true, ""},
      {{"--action=open"}, false, "open"},
      {{"--action", "quit"}, false, "quit"},
      {{"--action"}, false, ""},                 // missing value
      {{"--action=instance-bundle"}, false, ""}, // not an exported action
      {{"--action=rm -rf"}, false, ""},
      {{"-psn_0_12345", "--action=open", "--gapplication-replace"}, true, "open"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> storage = {"Quillmark"};
    storage.insert(storage.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (auto& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
    LaunchRequest r = parseLaunchArguments(static_cast<int>(storage.size()), argv.data());
    EXPECT_EQ(r.replaceRunning, c.replace);
    EXPECT_EQ(r.action, c.action);
  }
}

TEST(SessionDetection, DisplayOrBusMeansDesktop) {
  using Env = std::map<std::string, std::string>;
  EXPECT_FALSE(desktopSessionAvailable(Env{}));
  EXPECT_FALSE(desktopSessionAvailable(Env{{"DISPLAY", ""}, {"HOME", "/root"}}));
  EXPECT_TRUE(desktopSessionAvailable(Env{{"DISPLAY", ":0"}}));
  EXPECT_TRUE(desktopSessionAvailable(Env{{"WAYLAND_DISPLAY", "wayland-0"}}));
  EXPECT_TRUE(desktopSessionAvailable(Env{{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/run/user/1/bus"}}));
  EXPECT_FALSE(desktopSessionAvailable(Env{{"DISPLAY", ":0"}, {"QL_ALERT_ANSWERS", ""}}));
  EXPECT_FALSE(desktopSessionAvailable(Env{{"DISPLAY", ":0"}, {"QL_ALERT_ANSWERS", "1000"}}));
}

// ---- desktop entry --------------------------------------------------------

// What a desktop environment would execute for the entry's main Exec line,
// read back through GLib's own desktop-entry parser.
std::string executableFromEntry(const std::string& entry) {
  GKeyFile* kf = g_key_file_new();
  EXPECT_TRUE(g_key_file_load_from_data(kf, entry.data(), entry.size(), G_KEY_FILE_NONE, nullptr));
  GDesktopAppInfo* info = g_desktop_app_info_new_from_keyfile(kf);
  g_key_file_unref(kf);
  if (!info) return "<unparsable>";
  const char* commandline = g_app_info_get_commandline(G_APP_INFO(info));
  gchar** argv = nullptr;
  std::string out = "<unparsable>";
  if (commandline && g_shell_parse_argv(commandline, nullptr, &argv, nullptr)) out = argv[0];
  g_strfreev(argv);
  g_object_unref(info);
  return out;
}

// An executable at `path` (TryExec makes GLib ignore an entry without one).
void makeExecutable(const std::string& path) {
  makeDirs(path.substr(0, path.rfind('/')));
  writeFile(path, "#!/bin/sh\n", 0755);
}

TEST(DesktopEntry, ExecLineNamesTheBundleExactly) {
  TempDir tmp;
  const char* paths[] = {
      "/Applications/Quillmark.app/Contents/MacOS/Quillmark",
      "/My Apps/Applications/Quillmark.app/Contents/MacOS/Quillmark",
      "/a\"b/Applications/Q.app/Contents/MacOS/Quillmark",
      "/$HOME`id`/Applications/Q.app/Contents/MacOS/Quillmark",
      "/back\\slash;&|<>*?#()'/Applications/Q.app/Contents/MacOS/Quillmark",
      "/@EXEC@@APPID@/Applications/Q.app/Contents/MacOS/Quillmark",
  };
  for (const char* p : paths) {
    std::string path = tmp.path() + p;
    makeExecutable(path);
    std::string entry = desktopEntryFor(kDesktopEntryTemplate, path, "com.talvoria.zorvan");
    ASSERT_FALSE(entry.empty()) << p;
    EXPECT_EQ(executableFromEntry(entry), path);
  }
}

TEST(DesktopEntry, EntryOfADeletedBundleIsIgnored) {
  TempDir tmp;
  std::string path = tmp.path() + "/Applications/Q.app/Contents/MacOS/Quillmark";
  makeExecutable(path);
  std::string entry = desktopEntryFor(kDesktopEntryTemplate, path, "com.talvoria.zorvan");
  EXPECT_EQ(executableFromEntry(entry), path);
  ::unlink(path.c_str());
  EXPECT_EQ(executableFromEntry(entry), "<unparsable>");
}

TEST(DesktopEntry, PercentIsNotAFieldCode) {
  auto q = quoteExecArgument("/tmp/100%u/Q");
  ASSERT_TRUE(q);
  EXPECT_EQ(*q, "\"/tmp/100%%u/Q\"");
}

TEST(DesktopEntry, RefusesPathsThatCannotBeQuoted) {
  EXPECT_EQ(desktopEntryFor(kDesktopEntryTemplate, "/tmp/a\nExec=evil/Q", "com.talvoria.zorvan"), "");
  EXPECT_EQ(desktopEntryFor(kDesktopEntryTemplate, "/tmp/a\tb/Q", "com.talvoria.zorvan"), "");
  EXPECT_EQ(desktopEntryFor(kDesktopEntryTemplate, "/tmp/Q", "not an id"), "");
}

TEST(DesktopEntry, CarriesBothActionsAndTheIcon) {
  TempDir tmp;
  std::string exe = tmp.path() + "/A/Applications/Q.app/Contents/MacOS/Q";
  makeExecutable(exe);
  std::string entry = desktopEntryFor(kDesktopEntryTemplate, exe, "com.x.y");
  GKeyFile* kf = g_key_file_new();
  ASSERT_TRUE(g_key_file_load_from_data(kf, entry.data(), entry.size(), G_KEY_FILE_NONE, nullptr));
  GDesktopAppInfo* info = g_desktop_app_info_new_from_keyfile(kf);
  ASSERT_NE(info, nullptr);
  const gchar* const* actions = g_desktop_app_info_list_actions(info);
  ASSERT_NE(actions, nullptr);
  std::vector<std::string> names;
  for (auto a = actions; *a; ++a) names.push_back(*a);
  EXPECT_EQ(names, (std::vector<std::string>{"open", "quit"}));
  gchar* openName = g_desktop_app_info_get_action_name(info, "open");
  gchar* quitName = g_desktop_app_info_get_action_name(info, "quit");
  EXPECT_STREQ(openName, "Open Quillmark");
  EXPECT_STREQ(quitName, "Quit Quillmark");
  g_free(openName);
  g_free(quitName);
  gchar* openExec = g_key_file_get_string(kf, "Desktop Action open", "Exec", nullptr);
  EXPECT_EQ(std::string(openExec), "\"" + exe + "\" --action=open");
  g_free(openExec);
  gchar* icon = g_key_file_get_string(kf, "Desktop Entry", "Icon", nullptr);
  EXPECT_STREQ(icon, "com.x.y");
  g_free(icon);
  g_object_unref(info);
  g_key_file_unref(kf);
}

TEST(DesktopEntry, InstallsEntryAndIconOnlyRewritingOnChange) {
  TempDir tmp;
  std::string data = tmp.path() + "/share";
  std::string exe = tmp.path() + "/x/Applications/Quillmark.app/Contents/MacOS/Quillmark";
  makeExecutable(exe);
  ASSERT_TRUE(installDesktopEntry("/x/Applications/Quillmark.app", exe, "com.talvoria.zorvan", data));
  std::string entryPath = data + "/applications/com.talvoria.zorvan.desktop";
  std::string iconPath = data + "/icons/hicolor/scalable/apps/com.talvoria.zorvan.svg";
  EXPECT_EQ(readFile(entryPath), desktopEntryFor(kDesktopEntryTemplate, exe, "com.talvoria.zorvan"));
  EXPECT_EQ(readFile(iconPath), kApplicationIconSvg);

  struct stat before {};
  ASSERT_EQ(::stat(entryPath.c_str(), &before), 0);
  ASSERT_TRUE(installDesktopEntry("/x/Applications/Quillmark.app", exe, "com.talvoria.zorvan", data));
  struct stat same {};
  ASSERT_EQ(::stat(entryPath.c_str(), &same), 0);
  EXPECT_EQ(same.st_ino, before.st_ino);  // unchanged contents: not replaced

  std::string moved = tmp.path() + "/y/Applications/Quillmark.app/Contents/MacOS/Quillmark";
  makeExecutable(moved);
  ASSERT_TRUE(installDesktopEntry("/y/Applications/Quillmark.app", moved, "com.talvoria.zorvan", data));
  EXPECT_EQ(executableFromEntry(readFile(entryPath)), moved);
}

TEST(DesktopEntry, UnwritableOrMissingDataHomeFailsWithoutThrowing) {
  TempDir tmp;
  writeFile(tmp.path() + "/file", "x");
  EXPECT_FALSE(installDesktopEntry("/A/Applications/Q.app", "/A/Applications/Q.app/Contents/MacOS/Q",
                                   "com.talvoria.zorvan", tmp.path() + "/file/share"));
  EXPECT_FALSE(installDesktopEntry("/A/Applications/Q.app", "/A/Applications/Q.app/Contents/MacOS/Q",
                                   "com.talvoria.zorvan", ""));
  EXPECT_FALSE(installDesktopEntry("/A/Applications/Q.app", "/A/Applications/Q.app/Contents/MacOS/Q",
                                   "com.talvoria.zorvan", "relative/share"));
}

TEST(DesktopEntry, OnlyACopyDirectlyInAnApplicationsFolderIsInstalled) {
  const std::vector<std::string> folders = {"/Applications", "/home/u/Applications"};
  struct Case {
    const char* bundle;
    bool installed;
  } cases[] = {
      {"/Applications/Quillmark.app", true},
      {"/home/u/Applications/Quillmark.app", true},
      {"/Applications/Other.app", true},  // the name does not matter
      // An eligible download whose folder merely has the name: it is offered
      // the install, so it must not also write an entry for itself.
      {"/home/u/Downloads/Applications/Quillmark.app", false},
      {"/Applications/Utilities/Quillmark.app", false},
      {"/home/u/Downloads/Quillmark.app", false},
      {"/home/u/MyApplications/Quillmark.app", false},
      {"/Quillmark.app", false},
      {"Quillmark.app", false},
      {"/Applications/", false},
  };
  for (const auto& c : cases) EXPECT_EQ(bundleIsInstalled(c.bundle, folders), c.installed) << c.bundle;
  // Compared as the install offer compares paths: canonically equivalent
  // spellings of a folder are the same folder.
  EXPECT_TRUE(bundleIsInstalled("/home/Jos\u00e9/Applications/Q.app", {"/home/Jose\u0301/Applications"}));
  EXPECT_FALSE(bundleIsInstalled("/home/u/Applications/Q.app", {}));
}

TEST(DesktopEntry, TryExecReadsBackWhatWasWritten) {
  for (const char* exe : {"/A/Applications/Q.app/Contents/MacOS/Q", "/back\\slash/Applications/Q.app/Contents/MacOS/Q",
                          "/sp ace/\"q\"/Applications/Q.app/Contents/MacOS/Q"}) {
    EXPECT_EQ(desktopEntryTryExec(desktopEntryFor(kDesktopEntryTemplate, exe, "com.x.y")), std::string(exe));
  }
  EXPECT_EQ(desktopEntryTryExec("[Desktop Entry]\nExec=x\n[Desktop Action a]\nTryExec=/y\n"), std::nullopt);
  EXPECT_EQ(desktopEntryTryExec("[Desktop Entry]\nTryExec=/a\\sb\n"), "/a b");
}

// A sandbox $HOME with its own data directory, restored afterwards.
class SandboxHome : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* h = std::getenv("HOME")) savedHome_ = h;
    ::setenv("HOME", tmp_.path().c_str(), 1);
    data_ = tmp_.path() + "/.local/share";
    entry_ = data_ + "/applications/com.talvoria.zorvan.desktop";
    icon_ = data_ + "/icons/hicolor/scalable/apps/com.talvoria.zorvan.svg";
  }
  void TearDown() override {
    if (savedHome_) {
      ::setenv("HOME", savedHome_->c_str(), 1);
    } else {
      ::unsetenv("HOME");
    }
  }
  // A bundle with its launcher; returns the launcher's path.
  std::string bundle(const std::string& bundlePath) {
    std::string exe = bundlePath + "/Contents/MacOS/Quillmark";
    makeExecutable(exe);
    return exe;
  }
  void refresh(const std::string& bundlePath) {
    refreshDesktopEntry(bundlePath, bundlePath + "/Contents/MacOS/Quillmark", "com.talvoria.zorvan", data_);
  }
  bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
  }

  TempDir tmp_;
  std::optional<std::string> savedHome_;
  std::string data_, entry_, icon_;
};

TEST_F(SandboxHome, ADownloadWritesNoEntryTheInstalledCopyDoes) {
  std::string home = tmp_.path();
  // The folder of the download is named Applications, but it is no
  // Applications folder: nothing is written before (or without) the install.
  bundle(home + "/Downloads/Applications/Quillmark.app");
  refresh(home + "/Downloads/Applications/Quillmark.app");
  EXPECT_FALSE(exists(entry_));
  EXPECT_FALSE(exists(icon_));

  std::string installed = home + "/Applications/Quillmark.app";
  std::string exe = bundle(installed);
  refresh(installed);
  EXPECT_EQ(executableFromEntry(readFile(entry_)), exe);
  EXPECT_EQ(readFile(icon_), kApplicationIconSvg);

  // Reached through a link to the Applications folder: still installed.
  ASSERT_EQ(::symlink((home + "/Applications").c_str(), (home + "/Apps").c_str()), 0);
  ASSERT_EQ(::unlink(entry_.c_str()), 0);
  refresh(home + "/Apps/Quillmark.app");
  EXPECT_TRUE(exists(entry_));
}

TEST_F(SandboxHome, AnInstalledCopyThatMovesTakesItsEntryAlong) {
  std::string home = tmp_.path();
  std::string first = home + "/Applications/Quillmark.app";
  bundle(first);
  refresh(first);
  ASSERT_TRUE(exists(entry_));

  // Moved out of the Applications folder and started there: the entry would
  // name a launcher that is gone, so it goes, with its icon.
  makeDirs(home + "/Downloads");
  ASSERT_EQ(::rename(first.c_str(), (home + "/Downloads/Quillmark.app").c_str()), 0);
  refresh(home + "/Downloads/Quillmark.app");
  EXPECT_FALSE(exists(entry_));
  EXPECT_FALSE(exists(icon_));

  // Moved back: the entry comes back, pointing at where it is now.
  ASSERT_EQ(::rename((home + "/Downloads/Quillmark.app").c_str(), first.c_str()), 0);
  refresh(first);
  EXPECT_EQ(executableFromEntry(readFile(entry_)), first + "/Contents/MacOS/Quillmark");
}

TEST_F(SandboxHome, ADownloadLeavesTheEntryOfAnInstalledCopyThatIsStillThere) {
  std::string home = tmp_.path();
  std::string installed = home + "/Applications/Quillmark.app";
  std::string exe = bundle(installed);
  refresh(installed);
  bundle(home + "/Downloads/Quillmark.app");
  refresh(home + "/Downloads/Quillmark.app");
  EXPECT_EQ(executableFromEntry(readFile(entry_)), exe);
  EXPECT_TRUE(exists(icon_));
}

TEST_F(SandboxHome, StaleEntryCleanupNeverFollowsWhatIsPlantedAtItsName) {
  std::string home = tmp_.path();
  makeDirs(data_ + "/applications");
  // A link at the entry's name, to a stale-looking entry elsewhere: neither
  // the link's target nor the link is taken for ours.
  std::string elsewhere = home + "/keep.desktop";
  writeFile(elsewhere, "[Desktop Entry]\nTryExec=/nonexistent/Quillmark\n");
  ASSERT_EQ(::symlink(elsewhere.c_str(), entry_.c_str()), 0);
  EXPECT_FALSE(removeStaleDesktopEntry("com.talvoria.zorvan", data_));
  EXPECT_TRUE(exists(entry_));
  EXPECT_EQ(readFile(elsewhere), "[Desktop Entry]\nTryExec=/nonexistent/Quillmark\n");
  ASSERT_EQ(::unlink(entry_.c_str()), 0);

  // A FIFO there must not block the launcher's start.
  ASSERT_EQ(::mkfifo(entry_.c_str(), 0600), 0);
  EXPECT_FALSE(removeStaleDesktopEntry("com.talvoria.zorvan", data_));
  ASSERT_EQ(::unlink(entry_.c_str()), 0);

  // An entry someone wrote without a TryExec is not ours to judge.
  writeFile(entry_, "[Desktop Entry]\nType=Application\nName=Mine\nExec=/nonexistent/x\n");
  EXPECT_FALSE(removeStaleDesktopEntry("com.talvoria.zorvan", data_));
  EXPECT_TRUE(exists(entry_));
}

TEST(DesktopEntry, ValidatesWithDesktopFileValidate) {
  if (::access("/usr/bin/desktop-file-validate", X_OK) != 0) {
    GTEST_SKIP() << "desktop-file-validate is not installed (apt-get install desktop-file-utils)";
  }
  TempDir tmp;
  for (const char* p : {"/Applications/Quillmark.app/Contents/MacOS/Quillmark",
                        "/My \"odd\" $dir%/Applications/Q.app/Contents/MacOS/Quillmark"}) {
    std::string exe = tmp.path() + p;
    makeExecutable(exe);
    std::string file = tmp.path() + "/com.talvoria.zorvan.desktop";
    writeFile(file, desktopEntryFor(kDesktopEntryTemplate, exe, "com.talvoria.zorvan"));
    std::string command = "/usr/bin/desktop-file-validate '" + file + "' 2>&1";
    FILE* out = ::popen(command.c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::string said;
    char buf[512];
    while (size_t n = std::fread(buf, 1, sizeof buf, out)) said.append(buf, n);
    int status = ::pclose(out);
    // Errors fail it with a status; hints and warnings are printed only.
    EXPECT_EQ(status, 0) << p << ":\n" << said;
    EXPECT_EQ(said, "") << p;
  }
}

// ---- the GLib main loop ---------------------------------------------------

TEST(GlibMainLoop, RunsPostedWorkInOrderOnTheMainThreadNeverInline) {
  GlibMainLoop loop;
  std::vector<int> seen;
  std::atomic<int> offThread{0};
  bool ranInline = true;
  loop.post([&] {
    ranInline = false;
    seen.push_back(0);
    // Posted from the main thread while running: still queued, not inline.
    bool inner = false;
    loop.post([&] { inner = true; seen.push_back(100); });
    EXPECT_FALSE(inner);
  });
  EXPECT_TRUE(ranInline);  // nothing runs before the loop does
  std::thread t([&] {
    for (int i = 1; i <= 50; ++i) {
      loop.post([&, i] {
        if (!loop.isMainThread()) ++offThread;
        seen.push_back(i);
      });
    }
    loop.post([&] { loop.quit(); });
  });
  t.join();
  loop.run();
  EXPECT_EQ(offThread.load(), 0);
  std::vector<int> numbered;
  for (int v : seen) {
    if (v >= 1 && v <= 50) numbered.push_back(v);
  }
  ASSERT_EQ(numbered.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(numbered[i], i + 1);
  EXPECT_EQ(seen.front(), 0);
}

TEST(GlibMainLoop, QuitStopsAfterTheCurrentItemAndKeepsTheRestForTheNextRun) {
  GlibMainLoop loop;
  std::vector<int> seen;
  loop.post([&] { seen.push_back(1); loop.quit(); });
  loop.post([&] { seen.push_back(2); });
  loop.run();
  EXPECT_EQ(seen, std::vector<int>{1});
  loop.post([&] { seen.push_back(3); loop.quit(); });
  loop.run();
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
}

TEST(GlibMainLoop, QuitBeforeRunReturnsAtOnce) {
  GlibMainLoop loop;
  bool ran = false;
  loop.post([&] { ran = true; });
  loop.quit();
  loop.run();
  EXPECT_FALSE(ran);
  loop.post([&] { loop.quit(); });
  loop.run();  // the earlier item runs now
  EXPECT_TRUE(ran);
}

// ---- the application object without a bus --------------------------------

class RecordingDelegate : public ApplicationDelegate {
 public:
  std::vector<std::string> calls;
  std::function<void()> onLaunched;
  void applicationDidFinishLaunching() override {
    calls.push_back("launched");
    if (onLaunched) onLaunched();
  }
  void openInBrowser() override { calls.push_back("open"); }
  bool applicationShouldHandleReopen(bool) override {
    calls.push_back("reopen");
    return true;
  }
  TerminateReply applicationShouldTerminate() override {
    calls.push_back("terminate");
    return TerminateReply::kNow;
  }
};

class NoBus : public ::testing::Test {
 protected:
  void SetUp() override {
    // No reachable session bus: GApplication runs non-unique.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/ql-test-bus", 1);
  }
};

TEST_F(NoBus, RunsAsItsOwnInstance) {
  GlibMainLoop loop;
  DesktopApplication app(loop, "com.talvoria.zorvan", "/tmp/Q.app", {});
  RecordingDelegate d;
  d.onLaunched = [&] { app.terminate(); };
  app.setDelegate(&d);
  app.run();
  EXPECT_EQ(app.role(), DesktopApplication::Role::kSeparate);
  EXPECT_EQ(d.calls, (std::vector<std::string>{"launched", "terminate"}));
}

TEST_F(NoBus, ActionsFollowTheMenuAndRouteToTheDelegate) {
  GlibMainLoop loop;
  DesktopApplication app(loop, "com.talvoria.zorvan", "/tmp/Q.app", {});
  RecordingDelegate d;
  app.setDelegate(&d);
  app.registerInstance();
  GActionGroup* group = G_ACTION_GROUP(g_application_get_default());
  ASSERT_NE(group, nullptr);
  EXPECT_TRUE(g_action_group_has_action(group, "open"));
  EXPECT_TRUE(g_action_group_has_action(group, "quit"));
  d.onLaunched = [&] {
    // Before the menu is installed "open" exists but does nothing; "quit"
    // works from the start (see QuitBeforeTheMenuWaitsForTheCallback).
    EXPECT_FALSE(app.actionEnabled("open"));
    EXPECT_TRUE(app.actionEnabled("quit"));
    g_action_group_activate_action(group, "open", nullptr);
    app.setMainMenu(launcherMenu());  // what the start-up sequence does
    EXPECT_TRUE(app.actionEnabled("open"));
    EXPECT_TRUE(app.actionEnabled("quit"));
    g_action_group_activate_action(group, "open", nullptr);
    g_action_group_activate_action(group, "quit", nullptr);
  };
  app.run();  // didFinishLaunching, then the two enabled actions; quit ends the loop
  EXPECT_EQ(d.calls, (std::vector<std::string>{"launched", "open", "terminate"}));

  // A menu without "Quit" disables it again.
  auto onlyOpen = std::make_shared<Menu>();
  onlyOpen->items.push_back({"Open Quillmark", kOpenInBrowserAction, "n", false, nullptr});
  app.setMainMenu(onlyOpen);
  EXPECT_TRUE(app.actionEnabled("open"));
  EXPECT_FALSE(app.actionEnabled("quit"));
}

TEST_F(NoBus, RequestsDuringACallbackWaitForItAndQuitIsRecordedAtOnce) {
  // The install prompt is up inside didFinishLaunching: a quit, an open and
  // a reopen that arrive then reach the delegate only after it returns, in
  // order; the quit is visible to the callback the moment it arrives, so
  // start-up can stop before starting anything.
  GlibMainLoop loop;
  DesktopApplication app(loop, "com.talvoria.zorvan", "/tmp/Q.app", {});
  RecordingDelegate d;
  app.setDelegate(&d);
  app.registerInstance();
  GActionGroup* group = G_ACTION_GROUP(g_application_get_default());
  ASSERT_NE(group, nullptr);
  bool seenInside = false;
  d.onLaunched = [&] {
    app.reopen();
    EXPECT_FALSE(app.terminationRequested());
    g_action_group_activate_action(group, "quit", nullptr);
    seenInside = app.terminationRequested();
    app.setMainMenu(launcherMenu());
    g_action_group_activate_action(group, "open", nullptr);
    // A nested loop, as a dialog runs one: ordinary work still runs in it,
    // the requests do not.
    bool ordinary = false;
    loop.post([&] { ordinary = true; });
    GMainContext* context = g_main_context_default();
    for (int i = 0; i < 50 && !ordinary; ++i) g_main_context_iteration(context, FALSE);
    EXPECT_TRUE(ordinary);
    EXPECT_EQ(d.calls, std::vector<std::string>{"launched"}) << "nothing reached the delegate inside its callback";
  };
  app.run();
  EXPECT_TRUE(seenInside);
  EXPECT_EQ(d.calls, (std::vector<std::string>{"launched", "reopen", "terminate"}))
      << "the reopen that came first is kept; the quit ends the loop before the open";
}

TEST_F(NoBus, QuitRequestWithNothingRunningStartsNothing) {
  GlibMainLoop loop;
  LaunchRequest quit;
  quit.action = "quit";
  DesktopApplication app(loop, "com.talvoria.zorvan", "/tmp/Q.app", quit);
  RecordingDelegate d;
  app.setDelegate(&d);
  app.run();
  EXPECT_TRUE(d.calls.empty());
}

// Whether libgtk-3 is mapped into this process (RTLD_NOLOAD loads nothing).
bool gtkIsLoaded() {
  void* handle = ::dlopen(kGtkLibrary, RTLD_LAZY | RTLD_NOLOAD);
  if (handle) ::dlclose(handle);  // drops only the reference just taken
  return handle != nullptr;
}

// Taken before any test runs, so it reports what linking alone brings in
// whichever test runs first.
const bool gtkLoadedAtStart = gtkIsLoaded();

TEST(GtkAlertsLoading, GtkIsLoadedAtTheFirstAlertNotAtStart) {
  EXPECT_FALSE(gtkLoadedAtStart) << "the platform links GTK: every launch would pay for it";
  ::unsetenv("DISPLAY");
  ::unsetenv("WAYLAND_DISPLAY");
  GlibMainLoop loop;
  GtkAlerts alerts(loop, "Quillmark", "com.talvoria.zorvan", nullptr);
  Alert a;
  a.messageText = "Quillmark failed to start";
  EXPECT_EQ(alerts.runModal(a), kAlertDismissed);
  EXPECT_TRUE(gtkIsLoaded()) << "the first alert tries GTK, display or not";
}

TEST(GtkAlertsWithoutDisplay, FallBackToTheHeadlessAnswer) {
  ::unsetenv("DISPLAY");
  ::unsetenv("WAYLAND_DISPLAY");
  GlibMainLoop loop;
  GtkAlerts alerts(loop, "Quillmark", "com.talvoria.zorvan", nullptr);
  Alert a;
  a.messageText = "Install Quillmark?";
  a.buttons = {"Install", "Not Now"};
  EXPECT_EQ(alerts.runModal(a), kAlertDismissed);
  EXPECT_FALSE(alerts.ensureDisplay());
}

TEST(GtkAlertsOffTheMainThread, TakeTheHeadlessPath) {
  GlibMainLoop loop;  // made on this thread: this is its main thread
  GtkAlerts alerts(loop, "Quillmark", "com.talvoria.zorvan", nullptr);
  int answer = 0;
  std::thread([&] {
    Alert a;
    a.messageText = "Quillmark failed to start";
    answer = alerts.runModal(a);
  }).join();
  EXPECT_EQ(answer, kAlertDismissed);
}

}  // namespace
}  // namespace ql::linux_backend::desktop
