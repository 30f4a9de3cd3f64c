// How fast the launcher notices a child's end, next to the 0.1 s look of a
// polling loop, measured in the same run.
//
//   ExitToMainQueue/events    a child is killed; time until its termination
//                             handler's hop runs on the main queue
//   ExitToMainQueue/polling   the same, noticed by a loop that looks every
//                             0.1 s (started at a random phase to the exit)
//   RunCaptureTrue/events     runCapture("/bin/true") end to end
//   RunCaptureTrue/polling    the same command run by a loop that looks every
//                             0.1 s, the first look right after the launch
#include <benchmark/benchmark.h>

#include <chrono>
#include <random>
#include <thread>

#include "app/app_delegate.h"
#include "platform/linux/linux_basics.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/linux_tasks.h"
#include "platform/linux/main_loop.h"

namespace {

using ql::Duration;
using ql::Task;
using ql::TaskSpec;
using SteadyClock = std::chrono::steady_clock;

double seconds(SteadyClock::time_point a, SteadyClock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

std::shared_ptr<Task> startSleeper(ql::Tasks& tasks) {
  TaskSpec launchSpec;
  launchSpec.executable = "/bin/sleep";
  launchSpec.arguments = {"1000"};
  auto task = tasks.makeTask(launchSpec);
  return task;
}

// The benchmark's thread plays the main thread: it runs a main loop until
// the hop of interest quits it.
void ExitToMainQueue_events(benchmark::State& state) {
  ql::linux_backend::LinuxTasks tasks;
  for (auto _ : state) {
    ql::linux_backend::PosixMainLoop loop;
    auto task = startSleeper(tasks);
    SteadyClock::time_point ran;
    task->setTerminationHandler([&](Task&) {
      loop.post([&] {
        ran = SteadyClock::now();
        loop.quit();
      });
    });
    if (!task->launch().ok()) {
      state.SkipWithError("launch failed");
      return;
    }
    auto killedAt = SteadyClock::now();
    task->kill();
    loop.run();
    state.SetIterationTime(seconds(killedAt, ran));
  }
}

void ExitToMainQueue_polling(benchmark::State& state) {
  ql::linux_backend::LinuxTasks tasks;
  ql::linux_backend::RealClock clock;
  // Shared by every repetition (each is a fresh call with one iteration).
  static std::mt19937 rng(42);
  std::uniform_real_distribution<double> phase(0, 0.1);
  for (auto _ : state) {
    ql::linux_backend::PosixMainLoop loop;
    auto task = startSleeper(tasks);
    if (!task->launch().ok()) {
      state.SkipWithError("launch failed");
      return;
    }
    SteadyClock::time_point ran;
    std::thread poller([&] {
      while (task->isRunning()) clock.sleepFor(Duration(0.1));
      loop.post([&] {
        ran = SteadyClock::now();
        loop.quit();
      });
    });
    clock.sleepFor(Duration(phase(rng)));
    auto killedAt = SteadyClock::now();
    task->kill();
    loop.run();
    poller.join();
    state.SetIterationTime(seconds(killedAt, ran));
  }
}

struct Launcher {
  Launcher() {
    static char name[] = "supervision_bench";
    static char* argv[] = {name, nullptr};
    platform = ql::linux_backend::makeLinuxPlatform(1, argv);
    delegate = std::make_shared<ql::AppDelegate>(platform->platform());
  }
  std::unique_ptr<ql::linux_backend::LinuxPlatform> platform;
  std::shared_ptr<ql::AppDelegate> delegate;
};

Launcher& launcher() {
  static Launcher l;
  return l;
}

void RunCaptureTrue_events(benchmark::State& state) {
  auto& d = *launcher().delegate;
  for (auto _ : state) {
    auto r = d.runCapture({"/bin/true"}, 10);
    if (!r || r->status != 0) state.SkipWithError("runCapture failed");
  }
}

// The loop as first written: look, sleep 0.1 s, look again; then read.
void RunCaptureTrue_polling(benchmark::State& state) {
  auto& p = launcher().platform->platform();
  for (auto _ : state) {
    TaskSpec launchSpec;
    launchSpec.executable = "/bin/true";
    launchSpec.standardOutput = ql::StreamSpec::pipe();
    launchSpec.standardError = ql::StreamSpec::pipe();
    auto task = p.tasks.makeTask(launchSpec);
    if (!task->launch().ok()) state.SkipWithError("launch failed");
    auto deadline = p.clock.now() + std::chrono::seconds(10);
    while (task->isRunning() && p.clock.now() < deadline) p.clock.sleepFor(Duration(0.1));
    benchmark::DoNotOptimize(task->collectOutput(ql::OutputStream::kStandardOutput, Duration(1)));
    benchmark::DoNotOptimize(task->collectOutput(ql::OutputStream::kStandardError, Duration(1)));
    benchmark::DoNotOptimize(task->terminationStatus());
  }
}

// One iteration per repetition: the median aggregate is then the median of
// the individual samples, not of averages.
BENCHMARK(ExitToMainQueue_events)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(1)->Repetitions(200)
    ->ReportAggregatesOnly(true);
BENCHMARK(ExitToMainQueue_polling)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(1)->Repetitions(40)
    ->ReportAggregatesOnly(true);
BENCHMARK(RunCaptureTrue_events)->UseRealTime()->Unit(benchmark::kMicrosecond)->Iterations(1)->Repetitions(200)
    ->ReportAggregatesOnly(true);
BENCHMARK(RunCaptureTrue_polling)->UseRealTime()->Unit(benchmark::kMicrosecond)->Iterations(1)->Repetitions(40)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
