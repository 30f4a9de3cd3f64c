// The application object: delegate, activation policy, main menu, event loop,
// activation and the orderly quit path.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace ql {

enum class ActivationPolicy { kRegular = 0, kAccessory = 1, kProhibited = 2 };
enum class TerminateReply { kCancel = 0, kNow = 1, kLater = 2 };

// What the platform calls on the launcher, always on the main thread.
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual void applicationDidFinishLaunching() = 0;
  // The "openInBrowser:" menu action; the sender is not modelled.
  virtual void openInBrowser() = 0;
  virtual bool applicationShouldHandleReopen(bool hasVisibleWindows) = 0;
  virtual TerminateReply applicationShouldTerminate() = 0;
};

// Menu actions travel by name, as selectors do: "openInBrowser:" reaches the
// delegate, "terminate:" the application.
inline constexpr const char* kOpenInBrowserAction = "openInBrowser:";
inline constexpr const char* kTerminateAction = "terminate:";

struct Menu;
struct MenuItem {
  std::string title;
  std::string action;          // empty for a separator or a submenu holder
  std::string keyEquivalent;   // used with the platform's primary modifier
  bool separator = false;
  std::shared_ptr<Menu> submenu;
};
struct Menu {
  std::vector<MenuItem> items;
};

class Application {
 public:
  virtual ~Application() = default;
  // Not owned: the entry point keeps the delegate alive.
  virtual void setDelegate(ApplicationDelegate* delegate) = 0;
  virtual void setActivationPolicy(ActivationPolicy policy) = 0;
  virtual ActivationPolicy activationPolicy() = 0;
  virtual void setMainMenu(std::shared_ptr<Menu> menu) = 0;
  // Brings the application to the front.
  virtual void activate() = 0;
  // Runs the event loop (and with it the main queue) until a terminate
  // request is answered with kNow; then returns.
  virtual void run() = 0;
  // Main thread only: asks the delegate, and on kNow ends the event loop.
  // Called while the main thread is inside another callback's modal wait
  // (an alert's nested loop), the question waits until that callback has
  // returned: the delegate is never asked to quit in the middle of one.
  virtual void terminate() = 0;
  // Any thread. True from the moment a quit is asked for (terminate(), the
  // quit menu action, a termination signal) until the delegate answers it
  // with anything but kNow. A request that arrives while the main thread is
  // busy (a modal alert, a copy, a child it waits for) reaches the delegate
  // only once that wait is over; until then this is how the launcher learns
  // of it, so that it starts nothing more.
  virtual bool terminationRequested() = 0;
};

}  // namespace ql
