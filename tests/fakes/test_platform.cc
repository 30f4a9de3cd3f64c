#include "tests/fakes/test_platform.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace ql::testing {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/ql-test-XXXXXX";
  char* made = ::mkdtemp(tmpl.data());
  if (!made) {
    ADD_FAILURE() << "mkdtemp failed";
    return;
  }
  path_ = made;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  // Immutable flags set by a test would block the removal; clear them first.
  std::string cmd = "chattr -R -i '" + path_ + "' >/dev/null 2>&1; chmod -R u+rwx '" + path_ +
                    "' >/dev/null 2>&1; rm -rf '" + path_ + "'";
  (void)!std::system(cmd.c_str());
}

void writeFile(const std::string& path, const std::string& contents, unsigned mode) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  ASSERT_TRUE(out.good()) << "cannot write " << path;
  out << contents;
  out.close();
  ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void makeDirs(const std::string& path) {
  linux_backend::LinuxFileManager fm;
  ASSERT_TRUE(fm.createDirectory(path, true).ok()) << path;
}

void makeLink(const std::string& path, const std::string& target) {
  ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path << " -> " << target;
}

TestPlatform::TestPlatform() : root(tmp.path()), home(tmp.path() + "/home") {
  makeDirs(home);
  process.home = home;
  process.env = {{"HOME", home}, {"PATH", "/usr/bin:/bin"}};
  bundle.path = root + "/Downloads/Quillmark.app";
  bundle.setVersion("1.4.2");
  facts.systemApplicationsFolder = root + "/Applications";
  facts.assessmentTool = root + "/tools/spctl";
  facts.quarantineTool = root + "/tools/xattr";
}

TestPlatform::~TestPlatform() = default;

void TestPlatform::makeBundle(bool withShell, const std::string& version) {
  std::string b = bundle.path;
  makeDirs(b + "/Contents/Resources/bin");
  makeDirs(b + "/Contents/MacOS");
  writeFile(b + "/Contents/Resources/bin/quillmark", "#!/bin/sh\nexit 0\n", 0755);
  writeFile(b + "/Contents/MacOS/Quillmark", "#!/bin/sh\nexit 0\n", 0755);
  if (withShell) {
    std::string s = b + "/Contents/Helpers/Quillmark Shell.app/Contents/MacOS";
    makeDirs(s);
    writeFile(s + "/Quillmark Shell", "#!/bin/sh\nexit 0\n", 0755);
  }
  bundle.setVersion(version);
}

Platform& TestPlatform::platform() {
  if (!platform_) {
    platform_.emplace(Platform{application, alerts, *fileManager, *tasks, dispatch, process, bundle,
                               *codeSigning, workspace, clock, libraries, facts});
  }
  return *platform_;
}

std::shared_ptr<AppDelegate> TestPlatform::makeDelegate() {
  auto d = std::make_shared<AppDelegate>(platform());
  application.setDelegate(d.get());
  return d;
}

std::string TestPlatform::logFileText() { return readFile(home + "/.quillmark/logs/app.log"); }

}  // namespace ql::testing
