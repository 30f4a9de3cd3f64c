// Child processes. A Task is created from a TaskSpec, launched once, and
// reports its end through a termination handler on a platform thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/file_manager.h"
#include "platform/status.h"

namespace ql {

// Where one of the child's output streams goes.
struct StreamSpec {
  enum class Mode {
    kInherit,  // the launcher's own descriptor
    kPipe,     // a new pipe, drained by the platform while the child runs
    kHandle,   // an existing handle (the launcher log)
  };
  Mode mode = Mode::kInherit;
  std::shared_ptr<FileHandle> handle;  // for kHandle

  static StreamSpec inherit() { return {}; }
  static StreamSpec pipe() { return {Mode::kPipe, nullptr}; }
  static StreamSpec to(std::shared_ptr<FileHandle> h) { return {Mode::kHandle, std::move(h)}; }
};

struct TaskSpec {
  std::string executable;               // a file path, used as is (no PATH search)
  std::vector<std::string> arguments;   // argv[1..]
  // nullopt: the launcher's environment. Otherwise exactly these variables.
  std::optional<std::map<std::string, std::string>> environment;
  StreamSpec standardOutput;
  StreamSpec standardError;
  // Standard error joins standard output's pipe (one pipe for both).
  bool standardErrorToOutput = false;
  // Start in a session of its own, detached from the launcher's terminal.
  bool newSession = false;
};

enum class OutputStream { kStandardOutput, kStandardError };

class Task {
 public:
  virtual ~Task() = default;

  // Must be set before launch. Runs once, on a platform thread (never the
  // caller's), after the child has been reaped.
  virtual void setTerminationHandler(std::function<void(Task&)> handler) = 0;
  // Starts the child. A child that cannot be executed is a launch error
  // carrying the errno's text, and leaves no process behind.
  virtual Status launch() = 0;
  virtual bool isRunning() = 0;
  // SIGTERM; does not wait.
  virtual void terminate() = 0;
  // SIGKILL; does not wait.
  virtual void kill() = 0;
  virtual void waitUntilExit() = 0;
  // Waits at most `timeout`; true when the child has exited by then.
  virtual bool waitUntilExit(Duration timeout) = 0;
  // The exit code, or the signal number for a child ended by a signal.
  virtual int terminationStatus() = 0;
  virtual int processIdentifier() = 0;
  // What a kPipe stream delivered. Waits until every writer has closed the
  // pipe or until `grace` has passed, whichever is first, then stops
  // reading; so a descendant that keeps the pipe open cannot hang the caller.
  virtual std::string collectOutput(OutputStream which, Duration grace) = 0;
};

class Tasks {
 public:
  virtual ~Tasks() = default;
  virtual std::shared_ptr<Task> makeTask(TaskSpec launchSpec) = 0;
};

}  // namespace ql
