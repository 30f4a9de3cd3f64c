// A whole platform for launcher tests: the real file manager over a fresh
// temporary directory (standard error captured), and fakes for the rest.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/app_delegate.h"
#include "platform/linux/linux_file_manager.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_dispatch.h"
#include "tests/fakes/fakes.h"

namespace ql::testing {

// A directory under $TMPDIR removed with everything in it at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Small file helpers for fixtures (they abort the test on failure).
void writeFile(const std::string& path, const std::string& contents, unsigned mode = 0644);
std::string readFile(const std::string& path);
void makeDirs(const std::string& path);
void makeLink(const std::string& path, const std::string& target);

struct TestPlatform {
  TestPlatform();
  ~TestPlatform();

  // Lays out <root>/Downloads/Quillmark.app with a service binary (a shell
  // script) and, when asked, an executable shell; points the bundle at it.
  void makeBundle(bool withShell = false, const std::string& version = "1.4.2");

  // The platform handed to the launcher. Swap `tasks`, `codeSigning` or
  // `files` before the first call to use other implementations.
  Platform& platform();
  std::shared_ptr<AppDelegate> makeDelegate();

  std::string stderrText() { return files.standardErrorText(); }
  std::string logFileText();

  TempDir tmp;
  std::string root;  // tmp.path()
  std::string home;  // <root>/home, created
  FakeClock clock;
  FakeDispatch dispatch{clock};
  FakeApplication application{dispatch};
  ScriptedAlerts alerts;
  linux_backend::LinuxFileManager realFiles;
  CapturingFileManager files{realFiles};
  NoTasks noTasks;
  FakeProcessInfo process;
  FakeBundle bundle;
  FakeCodeSigning fakeCodeSigning;
  FakeWorkspace workspace;
  FakeLibraryLoader libraries;
  PlatformFacts facts;

  Tasks* tasks = &noTasks;
  CodeSigning* codeSigning = &fakeCodeSigning;
  FileManager* fileManager = &files;

 private:
  std::optional<Platform> platform_;
};

}  // namespace ql::testing
