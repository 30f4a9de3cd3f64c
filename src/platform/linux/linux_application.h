// The application object on Linux: a main loop, the delegate, the menu as
// named actions, and SIGTERM/SIGINT/SIGHUP routed into the orderly quit path.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/application.h"
#include "platform/linux/main_loop.h"

namespace ql::linux_backend {

class LinuxApplication : public Application {
 public:
  explicit LinuxApplication(MainLoop& loop) : loop_(loop) {}
  ~LinuxApplication() override;
  LinuxApplication(const LinuxApplication&) = delete;
  LinuxApplication& operator=(const LinuxApplication&) = delete;

  void setDelegate(ApplicationDelegate* delegate) override { delegate_ = delegate; }
  void setActivationPolicy(ActivationPolicy policy) override { policy_ = policy; }
  ActivationPolicy activationPolicy() override { return policy_; }
  void setMainMenu(std::shared_ptr<Menu> menu) override;
  std::shared_ptr<Menu> mainMenu();
  void activate() override {}
  void run() override;
  void terminate() override;
  bool terminationRequested() override { return terminationRequested_.load(); }

  // Runs a menu item's action by name on the main thread (from any thread),
  // between the delegate's callbacks (MainLoop::postUnnested). A quit is
  // recorded at once, so that a main thread busy with a start-up step sees
  // it when that step ends.
  void performAction(const std::string& action);
  // A second launch of the app asks the running one to reopen; kept, like
  // an action, until the delegate's current callback has returned.
  void reopen();

  // Blocks SIGTERM, SIGINT and SIGHUP in every thread (call before any
  // thread starts) and turns their arrival into a terminate request.
  void routeTerminationSignals();

 private:
  MainLoop& loop_;
  ApplicationDelegate* delegate_ = nullptr;
  ActivationPolicy policy_ = ActivationPolicy::kRegular;
  std::mutex menuMu_;
  std::shared_ptr<Menu> menu_;
  bool terminated_ = false;
  std::atomic<bool> terminationRequested_{false};
  std::thread signalThread_;
  int signalWakeFd_ = -1;
};

}  // namespace ql::linux_backend
