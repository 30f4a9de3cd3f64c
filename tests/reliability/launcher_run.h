// Runs the real launcher binary on a sandbox: a signed bundle, a home of its
// own, no display. Every wait is bounded, and whatever the run started is
// found by its executable or command line under the sandbox and stopped, so
// a launcher that hangs fails its test instead of blocking the suite.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace ql::testing {

// Where the build put the programs these tests run (compile definitions).
struct BuiltPrograms {
  std::string launcher, codesign, identity, makeBundle;
  static BuiltPrograms fromBuild();
};

// The service of the sandbox bundles: `serve --app` writes its process id to
// $QL_SANDBOX_STATE/serving.<pid> and runs until SIGTERM; `stop` ends the
// serving instances started by the launcher that runs it; `open` succeeds. A shell script, so that
// nothing the service itself reads can hang the run: only the launcher is
// under test.
std::string sandboxServiceScript();

// Lays out and signs <out> (a Quillmark.app) with the sandbox service and the
// given identifier. Returns false (with the tool's output in *why) on failure.
bool makeSignedBundle(const BuiltPrograms& programs, const std::string& out, const std::string& identifier,
                      const std::string& version, std::string* why);

struct LaunchOptions {
  std::string executable;  // <bundle>/Contents/MacOS/Quillmark
  std::string home;
  std::string stateDir;    // $QL_SANDBOX_STATE
  std::string sandbox;     // processes under it are this run's
  bool install = false;    // offer the install and answer "Install"
  std::string capturePath; // the launcher's stdout and stderr
  // Called with the child's process id after fork and before exec, so a
  // test can plant entries whose names carry that id.
  std::function<void(pid_t)> beforeExec;
  // A common gate for launchers that must start at one instant: the child
  // closes `gateWrite` and waits until `gateRead` reaches end of file, which
  // happens for all of them when the test closes its write end.
  int gateRead = -1, gateWrite = -1;
  // More NAME=value entries (a display and a session bus for the desktop).
  std::vector<std::string> extraEnvironment;
};

// A started launcher process (the child of this process).
struct Launch {
  pid_t pid = -1;
  bool reaped = false;
  int status = 0;  // wait status once reaped
};

Launch startLauncher(const LaunchOptions& options);

// Reaps `launch` if it has ended; true once it has.
bool pollEnded(Launch& launch);

// Whether a process (not necessarily our child) still runs; a zombie has
// ended.
bool processRunning(pid_t pid);
pid_t parentOf(pid_t pid);

// Process ids of the serving instances recorded in the state directory that
// are still running.
std::vector<pid_t> servingInstances(const std::string& stateDir);
// Every recorded serving instance, running or not.
std::vector<pid_t> everServed(const std::string& stateDir);

// Processes (other than this one) whose executable lies under `root` or
// whose command line names a path under it.
std::vector<pid_t> processesUnder(const std::string& root);
// SIGKILL to every such process (and the process group of `launch`, when
// given), until none is left or `seconds` have passed.
void killEverythingUnder(const std::string& root, Launch* launch, double seconds = 5.0);

// Opens every FIFO below `root` for reading and writing and closes it again:
// a process of this or another test stuck opening one of them is released.
void releaseFifos(const std::string& root);

double monotonicSeconds();
void sleepSeconds(double s);

std::string readSmall(const std::string& path);  // regular files only; "" otherwise

}  // namespace ql::testing
