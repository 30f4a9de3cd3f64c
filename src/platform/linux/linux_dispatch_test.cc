// The real main loop, global queue, timers and the signal-driven quit path.
#include "platform/linux/linux_dispatch.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <future>

#include "platform/linux/linux_application.h"

namespace ql::linux_backend {
namespace {

using namespace std::chrono_literals;

class RecordingDelegate : public ApplicationDelegate {
 public:
  explicit RecordingDelegate(std::function<void()> onLaunch) : onLaunch_(std::move(onLaunch)) {}
  void applicationDidFinishLaunching() override { onLaunch_(); }
  void openInBrowser() override { ++opens; }
  bool applicationShouldHandleReopen(bool) override {
    ++reopens;
    return true;
  }
  TerminateReply applicationShouldTerminate() override {
    ++terminateAsks;
    return TerminateReply::kNow;
  }
  std::atomic<int> opens{0}, reopens{0}, terminateAsks{0};

 private:
  std::function<void()> onLaunch_;
};

TEST(LinuxDispatchTest, MainQueueRunsInOrderOnTheMainThreadAndNeverInline) {
  PosixMainLoop loop;
  LinuxApplication app(loop);
  LinuxDispatch dispatch(loop);
  std::vector<int> order;
  bool ranInline = true;
  RecordingDelegate delegate([&] {
    dispatch.asyncMain([&] { order.push_back(1); });
    ranInline = !order.empty();
    dispatch.asyncGlobal([&] {
      // From a background thread, hop back to the main queue.
      bool onMain = dispatch.isMainThread();
      dispatch.asyncMain([&, onMain] {
        order.push_back(onMain ? -1 : 2);
        EXPECT_TRUE(dispatch.isMainThread());
        app.terminate();
      });
    });
  });
  app.setDelegate(&delegate);
  app.run();
  EXPECT_FALSE(ranInline);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_EQ(delegate.terminateAsks.load(), 1);
}

TEST(LinuxDispatchTest, DelayedWorkWaitsAndBlockingWorkDoesNotStarveOthers) {
  PosixMainLoop loop;
  LinuxDispatch dispatch(loop);
  auto start = std::chrono::steady_clock::now();
  std::promise<std::chrono::steady_clock::duration> fired;
  dispatch.asyncGlobalAfter(Duration(0.05), [&] { fired.set_value(std::chrono::steady_clock::now() - start); });
  // A long blocker on the global queue must not delay other global work.
  std::promise<void> release, quick;
  dispatch.asyncGlobal([&] { release.get_future().wait(); });
  dispatch.asyncGlobal([&] { quick.set_value(); });
  EXPECT_EQ(quick.get_future().wait_for(2s), std::future_status::ready);
  auto delay = fired.get_future().get();
  EXPECT_GE(delay, 50ms);
  EXPECT_LT(delay, 2s);
  release.set_value();
}

TEST(LinuxDispatchTest, SerialQueueRunsOneBlockAtATime) {
  PosixMainLoop loop;
  LinuxDispatch dispatch(loop);
  auto q = dispatch.makeSerialQueue("com.talvoria.zorvan.install-spctl-watchdog");
  EXPECT_EQ(q->label(), "com.talvoria.zorvan.install-spctl-watchdog");
  int counter = 0;  // unguarded on purpose: only the queue serialises it
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&] {
      for (int j = 0; j < 1000; ++j) q->sync([&] { ++counter; });
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 4000);
}

TEST(LinuxApplicationTest, SigtermGoesThroughTheTerminatePath) {
  PosixMainLoop loop;
  LinuxApplication app(loop);
  app.routeTerminationSignals();
  RecordingDelegate delegate([] { ::kill(::getpid(), SIGTERM); });
  app.setDelegate(&delegate);
  app.run();  // returns only when terminate was answered
  EXPECT_EQ(delegate.terminateAsks.load(), 1);
}

TEST(LinuxApplicationTest, MenuActionsAndReopenReachTheDelegate) {
  PosixMainLoop loop;
  LinuxApplication app(loop);
  RecordingDelegate delegate([&] {
    app.performAction("openInBrowser:");
    app.reopen();
    app.performAction("terminate:");
  });
  app.setDelegate(&delegate);
  app.run();
  EXPECT_EQ(delegate.opens.load(), 1);
  EXPECT_EQ(delegate.reopens.load(), 1);
  EXPECT_EQ(delegate.terminateAsks.load(), 1);
}

}  // namespace
}  // namespace ql::linux_backend
