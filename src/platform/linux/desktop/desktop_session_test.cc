// The desktop backend on a real (virtual) display and a private session bus:
// GTK dialogs, and instances of the probe launcher meeting on the bus.
// Run through tests/e2e/with-desktop-session.sh.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/linux/desktop/desktop_entry.h"
#include "platform/linux/desktop/desktop_rules.h"
#include "platform/linux/desktop/glib_main_loop.h"
#include "platform/linux/desktop/gtk_alerts.h"
#include "platform/linux/linux_workspace.h"
#include "platform/linux/x11_activation.h"
// Last: Xlib defines macros (Status, None, …) that would clash with the
// launcher's own names above.
#include <gdk/gdkx.h>
#undef Status

extern char** environ;

namespace ql::linux_backend::desktop {
namespace {

using namespace std::chrono_literals;

// ---- dialogs ---------------------------------------------------------------

// Keys sent with gtk_test_widget_send_key are core X events; GDK listens
// for XInput 2 events unless told otherwise before it starts, and would
// never see them. (The end-to-end test types real keys through XTest.)
const bool coreDeviceEvents = (::setenv("GDK_CORE_DEVICE_EVENTS", "1", 1), true);

struct SeenDialog {
  bool found = false;
  std::string title, text, secondary;
  int messageType = -1;
  std::vector<std::string> buttons;
  bool skipTaskbar = false;
  bool firstIsSuggested = false;  // "suggested-action" on the first button only
  bool firstHasFocus = false;
  std::string image;  // the name of the image beside the text
};

GtkWidget* findDialog() {
  GList* tops = gtk_window_list_toplevels();
  GtkWidget* found = nullptr;
  for (GList* l = tops; l; l = l->next) {
    if (GTK_IS_MESSAGE_DIALOG(l->data) && gtk_widget_get_mapped(GTK_WIDGET(l->data))) found = GTK_WIDGET(l->data);
  }
  g_list_free(tops);
  return found;
}

// Answers the next dialog once it is on screen: "click N" presses button N,
// "close" closes the window as its close button would, "enter" activates
// the default button as the Return key does; "key" sends the keys in
// `keys` through the display, as a keyboard would.
struct Answer {
  std::string how;
  int button = 0;
  SeenDialog seen;
  std::vector<guint> keys = {};
};

gboolean answerWhenShown(gpointer data) {
  auto* a = static_cast<Answer*>(data);
  GtkWidget* w = findDialog();
  if (!w) return G_SOURCE_CONTINUE;
  a->seen.found = true;
  a->seen.skipTaskbar = gtk_window_get_skip_taskbar_hint(GTK_WINDOW(w));
  a->seen.title = gtk_window_get_title(GTK_WINDOW(w)) ? gtk_window_get_title(GTK_WINDOW(w)) : "";
  gchar *text = nullptr, *secondary = nullptr;
  GtkMessageType type{};
  g_object_get(w, "text", &text, "secondary-text", &secondary, "message-type", &type, nullptr);
  a->seen.text = text ? text : "";
  a->seen.secondary = secondary ? secondary : "";
  a->seen.messageType = type;
  g_free(text);
  g_free(secondary);
  for (int r = kAlertFirstButtonReturn; GtkWidget* b = gtk_dialog_get_widget_for_response(GTK_DIALOG(w), r); ++r) {
    a->seen.buttons.push_back(gtk_button_get_label(GTK_BUTTON(b)));
  }
  for (int r = kAlertFirstButtonReturn; GtkWidget* b = gtk_dialog_get_widget_for_response(GTK_DIALOG(w), r); ++r) {
    bool suggested = gtk_style_context_has_class(gtk_widget_get_style_context(b), "suggested-action");
    if (r == kAlertFirstButtonReturn) {
      a->seen.firstIsSuggested = suggested;
      a->seen.firstHasFocus = gtk_window_get_focus(GTK_WINDOW(w)) == b;
    } else if (suggested) {
      a->seen.firstIsSuggested = false;
    }
  }
  GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(w));
  GList* row = gtk_container_get_children(GTK_CONTAINER(gtk_widget_get_parent(area)));
  if (row && GTK_IS_IMAGE(row->data)) {
    const gchar* name = nullptr;
    gtk_image_get_icon_name(GTK_IMAGE(row->data), &name, nullptr);
    a->seen.image = name ? name : "";
  }
  g_list_free(row);
  if (a->how == "key") {
    for (guint key : a->keys) {
      GtkWidget* target = gtk_window_get_focus(GTK_WINDOW(w));
      gtk_test_widget_send_key(target ? target : w, key, static_cast<GdkModifierType>(0));
    }
  } else if (a->how == "click") {
    gtk_button_clicked(GTK_BUTTON(gtk_dialog_get_widget_for_response(GTK_DIALOG(w), 1000 + a->button)));
  } else if (a->how == "close") {
    gtk_window_close(GTK_WINDOW(w));
  } else if (a->how == "enter") {
    gtk_window_activate_default(GTK_WINDOW(w));
  }
  return G_SOURCE_REMOVE;
}

TEST(GtkAlerts, ShowsTheAlertAndAnswersAsItsButtons) {
  ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run through with-desktop-session.sh";
  GlibMainLoop loop;
  // An icon no theme has: the signs of the theme stand in for it.
  GtkAlerts alerts(loop, "Quillmark", "ql-test-no-such-icon", [] { return ActivationPolicy::kRegular; });
  ASSERT_TRUE(alerts.ensureDisplay());

  Alert install;
  install.messageText = "Install Quillmark?";
  install.informativeText = "Quillmark will be copied to your Applications folder and opened from there.";
  install.buttons = {"Install", "Not Now"};
  install.windowLevel = kModalPanelWindowLevel;
  Alert fatal;
  fatal.style = AlertStyle::kCritical;
  fatal.messageText = "Quillmark failed to start";
  fatal.informativeText = "Re-download and reinstall.\n\nSee ~/.quillmark/logs/app.log for details.";

  struct Case {
    const char* name;
    const Alert& alert;
    Answer answer;
    int expected;
    std::vector<std::string> buttons;
    int type;
  } cases[] = {
      {"first button", install, {"click", 0, {}}, 1000, {"Install", "Not Now"}, GTK_MESSAGE_WARNING},
      {"second button", install, {"click", 1, {}}, 1001, {"Install", "Not Now"}, GTK_MESSAGE_WARNING},
      {"closed window", install, {"close", 0, {}}, kAlertDismissed, {"Install", "Not Now"}, GTK_MESSAGE_WARNING},
      {"return key", install, {"enter", 0, {}}, 1000, {"Install", "Not Now"}, GTK_MESSAGE_WARNING},
      {"no buttons: OK", fatal, {"click", 0, {}}, 1000, {"OK"}, GTK_MESSAGE_ERROR},
      {"no buttons, closed", fatal, {"close", 0, {}}, kAlertDismissed, {"OK"}, GTK_MESSAGE_ERROR},
      // The keyboard as a person uses it: Return takes the highlighted
      // first button, Tab moves on to the next, Escape backs out.
      {"Return key", install, {"key", 0, {}, {GDK_KEY_Return}}, 1000, {"Install", "Not Now"}, GTK_MESSAGE_WARNING},
      {"Tab, Return", install, {"key", 0, {}, {GDK_KEY_Tab, GDK_KEY_Return}}, 1001, {"Install", "Not Now"},
       GTK_MESSAGE_WARNING},
      {"Escape", install, {"key", 0, {}, {GDK_KEY_Escape}}, kAlertDismissed, {"Install", "Not Now"},
       GTK_MESSAGE_WARNING},
      {"Escape, no buttons", fatal, {"key", 0, {}, {GDK_KEY_Escape}}, kAlertDismissed, {"OK"}, GTK_MESSAGE_ERROR},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    guint timer = g_timeout_add(20, answerWhenShown, &c.answer);
    int response = alerts.runModal(c.alert);
    if (!c.answer.seen.found) g_source_remove(timer);
    ASSERT_TRUE(c.answer.seen.found);
    EXPECT_EQ(response, c.expected);
    EXPECT_EQ(c.answer.seen.title, "Quillmark");  // the window names the app
    EXPECT_EQ(c.answer.seen.text, c.alert.messageText);
    EXPECT_EQ(c.answer.seen.secondary, c.alert.informativeText);
    EXPECT_EQ(c.answer.seen.buttons, c.buttons);
    EXPECT_EQ(c.answer.seen.messageType, c.type);
    EXPECT_FALSE(c.answer.seen.skipTaskbar);  // a regular app's dialog is listed
    EXPECT_TRUE(c.answer.seen.firstIsSuggested);
    EXPECT_TRUE(c.answer.seen.firstHasFocus);
    // No app icon in this session's theme: the warning and error signs.
    EXPECT_EQ(c.answer.seen.image, c.type == GTK_MESSAGE_ERROR ? "dialog-error" : "dialog-warning");
    EXPECT_EQ(findDialog(), nullptr) << "the dialog must be gone once answered";
  }
}

TEST(GtkAlerts, AccessoryAppsDialogStaysOutOfTheTaskBar) {
  GlibMainLoop loop;
  ActivationPolicy policy = ActivationPolicy::kAccessory;
  GtkAlerts alerts(loop, "Quillmark", "", [&] { return policy; });
  ASSERT_TRUE(alerts.ensureDisplay());
  Alert a;  // no message text: the window is named after the app
  for (auto p : {ActivationPolicy::kAccessory, ActivationPolicy::kRegular}) {
    policy = p;
    Answer ans{"click", 0, {}};
    g_timeout_add(20, answerWhenShown, &ans);
    EXPECT_EQ(alerts.runModal(a), 1000);
    EXPECT_EQ(ans.seen.skipTaskbar, p == ActivationPolicy::kAccessory);
    EXPECT_EQ(ans.seen.title, "Quillmark");
  }
}

TEST(GtkAlerts, AWarningShowsTheAppIconWhereTheThemeHasIt) {
  GlibMainLoop loop;
  GtkAlerts alerts(loop, "Quillmark", "ql-test-app-icon", nullptr);
  ASSERT_TRUE(alerts.ensureDisplay());
  std::string dir = std::string(g_get_tmp_dir()) + "/ql-icons-XXXXXX";
  ASSERT_NE(g_mkdtemp(dir.data()), nullptr);
  std::string icon = dir + "/ql-test-app-icon.svg";
  ASSERT_TRUE(g_file_set_contents(icon.c_str(), kApplicationIconSvg, -1, nullptr));
  gtk_icon_theme_append_search_path(gtk_icon_theme_get_default(), dir.c_str());

  Alert warning;
  warning.messageText = "Install Quillmark?";
  warning.buttons = {"Install", "Not Now"};
  Alert critical;
  critical.style = AlertStyle::kCritical;
  critical.messageText = "Quillmark failed to start";
  for (const auto& [alert, image] : {std::pair<const Alert&, std::string>{warning, "ql-test-app-icon"},
                                     std::pair<const Alert&, std::string>{critical, "dialog-error"}}) {
    Answer ans{"click", 0, {}};
    g_timeout_add(20, answerWhenShown, &ans);
    EXPECT_EQ(alerts.runModal(alert), 1000);
    EXPECT_EQ(ans.seen.image, image) << alert.messageText;
  }
  ::unlink(icon.c_str());
  ::rmdir(dir.c_str());
}

TEST(GtkAlerts, TextIsShownLiterallyNotAsMarkup) {
  GlibMainLoop loop;
  GtkAlerts alerts(loop, "Quillmark", "", nullptr);
  ASSERT_TRUE(alerts.ensureDisplay());
  Alert a;
  a.messageText = "Couldn't install to <b>/tmp/a&b</b> %s %n";
  a.informativeText = "<span>50% & more</span>";
  Answer ans{"click", 0, {}};
  g_timeout_add(20, answerWhenShown, &ans);
  EXPECT_EQ(alerts.runModal(a), 1000);
  EXPECT_EQ(ans.seen.text, a.messageText);
  EXPECT_EQ(ans.seen.secondary, a.informativeText);
}

TEST(GtkAlerts, PostedWorkKeepsRunningWhileADialogWaits) {
  // The main queue is not frozen by an open alert (as on the Mac, where the
  // main queue runs in the modal loop): a child's exit is still handled.
  GlibMainLoop loop;
  GtkAlerts alerts(loop, "Quillmark", "", nullptr);
  ASSERT_TRUE(alerts.ensureDisplay());
  bool ran = false;
  Answer ans{"click", 1, {}};
  loop.post([&] { ran = true; });
  g_timeout_add(20, [](gpointer d) -> gboolean { return answerWhenShown(d); }, &ans);
  Alert a;
  a.messageText = "Install Quillmark?";
  a.buttons = {"Install", "Not Now"};
  EXPECT_EQ(alerts.runModal(a), 1001);
  EXPECT_TRUE(ran);
}

TEST(GtkAlerts, UserRequestsWaitUntilTheDialogIsAnswered) {
  // A quit or reopen that arrives while "Install Quillmark?" is up must not
  // run inside the dialog's loop, where the start-up that showed the
  // dialog would carry on under it; it runs once the work item that showed
  // the dialog has returned. Ordinary work (a child's exit) still runs.
  GlibMainLoop loop;
  GtkAlerts alerts(loop, "Quillmark", "", nullptr);
  ASSERT_TRUE(alerts.ensureDisplay());
  std::vector<std::string> order;
  Answer ans{"close", 0, {}};
  loop.post([&] {
    loop.postUnnested([&] {
      order.push_back("request");
      loop.quit();
    });
    loop.post([&] { order.push_back("ordinary"); });
    g_timeout_add(20, [](gpointer d) -> gboolean { return answerWhenShown(d); }, &ans);
    Alert a;
    a.messageText = "Install Quillmark?";
    a.buttons = {"Install", "Not Now"};
    EXPECT_EQ(alerts.runModal(a), kAlertDismissed);
    order.push_back("answered");
  });
  loop.run();
  EXPECT_TRUE(ans.seen.found);
  EXPECT_EQ(order, (std::vector<std::string>{"ordinary", "answered", "request"}));
}

TEST(GtkAlerts, WithoutALoadableGtkTheAlertTakesTheHeadlessPath) {
  // A display is there, GTK is not: the scripted headless answer comes
  // back, not a dialog (which the guard below would answer with 1000).
  ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run through with-desktop-session.sh";
  ::setenv(kAlertAnswersVariable, "1001", 1);
  GlibMainLoop loop;
  GtkAlerts alerts(loop, "Quillmark", "", nullptr, "libql-no-such-gtk.so.0");
  ::unsetenv(kAlertAnswersVariable);
  Answer guard{"click", 0, {}};
  guint timer = g_timeout_add(20, answerWhenShown, &guard);
  Alert a;
  a.messageText = "Install Quillmark?";
  a.buttons = {"Install", "Not Now"};
  EXPECT_EQ(alerts.runModal(a), 1001);
  EXPECT_FALSE(alerts.ensureDisplay());
  EXPECT_FALSE(guard.seen.found);
  if (!guard.seen.found) g_source_remove(timer);
}

TEST(Accelerators, GtkReadsThemAsPrimaryModifierShortcuts) {
  ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
  for (const char* key : {"n", "q", "N"}) {
    std::string accel = acceleratorForKeyEquivalent(key);
    guint keyval = 0;
    GdkModifierType mods{};
    gtk_accelerator_parse(accel.c_str(), &keyval, &mods);
    EXPECT_EQ(keyval, gdk_unicode_to_keyval(static_cast<guint32>(g_ascii_tolower(key[0])))) << accel;
    EXPECT_TRUE(mods & GDK_CONTROL_MASK) << accel;
    EXPECT_EQ(static_cast<bool>(mods & GDK_SHIFT_MASK), g_ascii_isupper(key[0])) << accel;
  }
}

// ---- bringing a program's windows forward -----------------------------------

// This test program's own window stands in for the shell's; the session has
// no window manager, so activation raises and focuses it directly.
TEST(X11Activation, RaisesAndFocusesTheWindowsOfTheProcess) {
  ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
  GtkWidget* other = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  GtkWidget* mine = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_widget_show_all(mine);
  gtk_widget_show_all(other);
  auto until = [](auto done) {
    for (int i = 0; i < 200 && !done(); ++i) {
      while (gtk_events_pending()) gtk_main_iteration();
      g_usleep(10000);
    }
    return done();
  };
  ASSERT_TRUE(until([&] { return gtk_widget_get_mapped(mine) && gtk_widget_get_mapped(other); }));
  Display* d = gdk_x11_display_get_xdisplay(gdk_display_get_default());
  Window wanted = gdk_x11_window_get_xid(gtk_widget_get_window(mine));
  // Only one window of this process is the one to come forward here.
  gtk_widget_hide(other);
  ASSERT_TRUE(until([&] { return !gtk_widget_get_mapped(other); }));

  X11ActivationResult r = activateX11WindowsOfProcess(static_cast<int>(::getpid()), 0);
  EXPECT_TRUE(r.displayOpened);
  EXPECT_EQ(r.windowsActivated, 1);
  EXPECT_TRUE(until([&] {
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(d, &focus, &revert);
    return focus == wanted;
  }));

  // A process with no window: nothing is activated, and the workspace says so.
  pid_t child = 0;
  char* const argv[] = {const_cast<char*>("/bin/sleep"), const_cast<char*>("30"), nullptr};
  ASSERT_EQ(posix_spawn(&child, argv[0], nullptr, nullptr, argv, environ), 0);
  EXPECT_EQ(activateX11WindowsOfProcess(child, 0).windowsActivated, 0);
  LinuxWorkspace workspace;
  EXPECT_FALSE(workspace.activate(RunningApplication{child, std::nullopt}));
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  // No display at all: nothing opened, nothing activated.
  std::string display = std::getenv("DISPLAY");
  ::unsetenv("DISPLAY");
  EXPECT_FALSE(activateX11WindowsOfProcess(static_cast<int>(::getpid()), 0).displayOpened);
  ::setenv("DISPLAY", display.c_str(), 1);
  gtk_widget_destroy(mine);
  gtk_widget_destroy(other);
}

// ---- instances on the bus --------------------------------------------------

class Probe {
 public:
  explicit Probe(std::vector<std::string> args, std::vector<std::string> extraEnv = {}) {
    const char* exe = std::getenv("QL_DESKTOP_PROBE");
    EXPECT_NE(exe, nullptr);
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    std::vector<std::string> all = {exe ? exe : "desktop_probe"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : all) argv.push_back(s.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore = extraEnv;
    for (char** e = environ; *e; ++e) {
      std::string kv = *e;
      bool overridden = false;
      for (const auto& x : extraEnv) overridden |= kv.compare(0, x.find('=') + 1, x, 0, x.find('=') + 1) == 0;
      if (!overridden) envStore.push_back(kv);
    }
    std::vector<char*> envp;
    for (auto& s : envStore) envp.push_back(s.data());
    envp.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
    out_ = fds[0];
  }
  ~Probe() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
  }
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;

  // True once `line` has been printed, within `limit`.
  bool saw(const std::string& line, std::chrono::milliseconds limit = 10s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      for (size_t nl; (nl = buffer_.find('\n')) != std::string::npos;) {
        std::string l = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        lines_.push_back(l);
        if (l == line) return true;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buf[256];
      ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) return false;
      buffer_.append(buf, static_cast<size_t>(n));
    }
  }
  // Every line read so far, for failure messages.
  std::string transcript() const {
    std::string t;
    for (const auto& l : lines_) t += l + " | ";
    return t + buffer_;
  }
  // The exit status once the probe has ended within `limit`; -1 if not.
  int exitStatus(std::chrono::milliseconds limit = 10s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      int st = 0;
      if (::waitpid(pid_, &st, WNOHANG) == pid_) {
        reaped_ = true;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      }
      ::usleep(20000);
    }
    return -1;
  }
  void signal(int sig) { ::kill(pid_, sig); }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  bool reaped_ = false;
  std::string buffer_;
  std::vector<std::string> lines_;
};

// A fresh application id per test: the bus outlives each test.
std::string freshId() {
  static int n = 0;
  return "com.example.probe" + std::to_string(::getpid()) + ".t" + std::to_string(++n);
}

TEST(Instances, SecondLaunchOfTheSameBundleReopensTheRunningOne) {
  std::string id = freshId();
  Probe first({"--id", id, "--bundle", "/opt/Applications/Quillmark.app"});
  ASSERT_TRUE(first.saw("launched")) << first.transcript();
  Probe second({"--id", id, "--bundle", "/opt/Applications/Quillmark.app"});
  ASSERT_TRUE(second.saw("exit forwarded")) << second.transcript();
  EXPECT_EQ(second.exitStatus(), 0);
  EXPECT_TRUE(first.saw("reopen")) << first.transcript();
  EXPECT_EQ(second.transcript().find("launched"), std::string::npos);
}

TEST(Instances, AnotherCopyOfTheAppRunsOnItsOwn) {
  std::string id = freshId();
  Probe installed({"--id", id, "--bundle", "/opt/Applications/Quillmark.app"});
  ASSERT_TRUE(installed.saw("launched"));
  Probe download({"--id", id, "--bundle", "/home/u/Downloads/Quillmark.app"});
  EXPECT_TRUE(download.saw("launched")) << download.transcript();
  // And a later launch of the installed app still finds the installed one.
  Probe again({"--id", id, "--bundle", "/opt/Applications/Quillmark.app"});
  EXPECT_TRUE(again.saw("exit forwarded")) << again.transcript();
  EXPECT_TRUE(installed.saw("reopen")) << installed.transcript();
}

TEST(Instances, ExportedActionsReachTheRunningInstance) {
  std::string id = freshId();
  Probe running({"--id", id, "--bundle", "/opt/Applications/Q.app"});
  ASSERT_TRUE(running.saw("launched"));
  Probe open({"--id", id, "--bundle", "/opt/Applications/Q.app", "--action=open"});
  EXPECT_TRUE(open.saw("exit forwarded")) << open.transcript();
  EXPECT_TRUE(running.saw("open")) << running.transcript();
  // The same through GLib's own tool, as a desktop file could call it.
  if (std::system("command -v gapplication >/dev/null") != 0) GTEST_SKIP() << "gapplication (libglib2.0-bin) missing";
  std::string cmd = "gapplication action " + id + " quit";
  EXPECT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_TRUE(running.saw("terminate")) << running.transcript();
  EXPECT_TRUE(running.saw("exit primary")) << running.transcript();
  EXPECT_EQ(running.exitStatus(), 0);
}

TEST(Instances, QuitActionWithNothingRunningStartsNothing) {
  Probe quit({"--id", freshId(), "--action=quit"});
  EXPECT_TRUE(quit.saw("exit primary")) << quit.transcript();
  EXPECT_EQ(quit.transcript().find("launched"), std::string::npos);
}

TEST(Instances, SteppingAsideLetsTheNextLaunchBecomeTheRunningInstance) {
  // What the install flow does: the installing copy opens its successor as
  // a new instance; the successor must not be swallowed as a reopen.
  std::string id = freshId();
  Probe installer({"--id", id, "--bundle", "/opt/Applications/Q.app", "--step-aside-on-open"});
  ASSERT_TRUE(installer.saw("launched"));
  Probe trigger({"--id", id, "--bundle", "/opt/Applications/Q.app", "--action=open"});
  ASSERT_TRUE(installer.saw("stepped-aside")) << installer.transcript();
  Probe successor({"--id", id, "--bundle", "/opt/Applications/Q.app"});
  ASSERT_TRUE(successor.saw("launched")) << successor.transcript();
  Probe later({"--id", id, "--bundle", "/opt/Applications/Q.app"});
  EXPECT_TRUE(later.saw("exit forwarded"));
  EXPECT_TRUE(successor.saw("reopen")) << successor.transcript();
}

TEST(Instances, ReplaceArgumentTakesOverTheId) {
  std::string id = freshId();
  Probe old({"--id", id, "--bundle", "/opt/Applications/Q.app"});
  ASSERT_TRUE(old.saw("launched"));
  Probe fresh({"--id", id, "--bundle", "/opt/Applications/Q.app", "--gapplication-replace"});
  ASSERT_TRUE(fresh.saw("launched")) << fresh.transcript();
  Probe later({"--id", id, "--bundle", "/opt/Applications/Q.app"});
  EXPECT_TRUE(later.saw("exit forwarded"));
  EXPECT_TRUE(fresh.saw("reopen")) << fresh.transcript();
  // The replaced one keeps running until told otherwise.
  EXPECT_EQ(old.exitStatus(300ms), -1);
}

TEST(Instances, TerminationSignalsGoThroughTheQuitPath) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    Probe p({"--id", freshId(), "--bundle", "/opt/Applications/Q.app"});
    ASSERT_TRUE(p.saw("launched"));
    p.signal(sig);
    EXPECT_TRUE(p.saw("terminate")) << p.transcript();
    EXPECT_EQ(p.exitStatus(), 0);
  }
}

TEST(Instances, WithoutASessionBusEveryLaunchRunsOnItsOwn) {
  std::string id = freshId();
  std::vector<std::string> noBus = {"DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus"};
  Probe a({"--id", id, "--bundle", "/opt/Applications/Q.app"}, noBus);
  Probe b({"--id", id, "--bundle", "/opt/Applications/Q.app"}, noBus);
  EXPECT_TRUE(a.saw("launched")) << a.transcript();
  EXPECT_TRUE(b.saw("launched")) << b.transcript();
}

}  // namespace
}  // namespace ql::linux_backend::desktop
