#include "platform/linux/linux_application.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace ql::linux_backend {

LinuxApplication::~LinuxApplication() {
  if (signalThread_.joinable()) {
    uint64_t one = 1;
    (void)!::write(signalWakeFd_, &one, sizeof one);
    signalThread_.join();
  }
  if (signalWakeFd_ >= 0) ::close(signalWakeFd_);
}

void LinuxApplication::setMainMenu(std::shared_ptr<Menu> menu) {
  std::lock_guard<std::mutex> lock(menuMu_);
  menu_ = std::move(menu);
}

std::shared_ptr<Menu> LinuxApplication::mainMenu() {
  std::lock_guard<std::mutex> lock(menuMu_);
  return menu_;
}

void LinuxApplication::run() {
  loop_.post([this] {
    if (delegate_) delegate_->applicationDidFinishLaunching();
  });
  loop_.run();
}

void LinuxApplication::terminate() {
  if (terminated_) return;
  terminationRequested_ = true;
  if (loop_.insideNestedLoop()) {
    // A callback further out is waiting (an alert is up): it decides what
    // happens once its wait ends; the question comes after it has returned.
    loop_.postUnnested([this] { terminate(); });
    return;
  }
  TerminateReply reply = delegate_ ? delegate_->applicationShouldTerminate() : TerminateReply::kNow;
  if (reply != TerminateReply::kNow) {
    terminationRequested_ = false;  // refused: the launcher goes on as before
    return;
  }
  terminated_ = true;
  loop_.quit();
}

void LinuxApplication::performAction(const std::string& action) {
  if (action == kTerminateAction) terminationRequested_ = true;
  loop_.postUnnested([this, action] {
    if (action == kTerminateAction) {
      terminate();
    } else if (action == kOpenInBrowserAction && delegate_) {
      delegate_->openInBrowser();
    }
  });
}

void LinuxApplication::reopen() {
  loop_.postUnnested([this] {
    if (delegate_) delegate_->applicationShouldHandleReopen(false);
  });
}

void LinuxApplication::routeTerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // A write to standard error after the terminal went away must not kill us.
  signal(SIGPIPE, SIG_IGN);
  int sfd = ::signalfd(-1, &set, SFD_CLOEXEC);
  signalWakeFd_ = ::eventfd(0, EFD_CLOEXEC);
  if (sfd < 0 || signalWakeFd_ < 0) {
    if (sfd >= 0) ::close(sfd);
    return;
  }
  signalThread_ = std::thread([this, sfd] {
    pollfd fds[2] = {{sfd, POLLIN, 0}, {signalWakeFd_, POLLIN, 0}};
    for (;;) {
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents) break;
      if (fds[0].revents) {
        signalfd_siginfo info;
        if (::read(sfd, &info, sizeof info) == sizeof info) performAction(kTerminateAction);
      }
    }
    ::close(sfd);
  });
}

}  // namespace ql::linux_backend
