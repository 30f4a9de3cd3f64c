// The desktop module as the launcher loads it: from the bytes linked into
// this executable, which links the platform but none of the desktop code
// and no GLib.
#include "platform/linux/desktop/desktop_module.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/linux/linux_workspace.h"

namespace ql::linux_backend::desktop {
namespace {

bool mapped(const char* soname) {
  void* handle = ::dlopen(soname, RTLD_LAZY | RTLD_NOLOAD);
  if (handle) ::dlclose(handle);  // drops only the reference just taken
  return handle != nullptr;
}

// Before any test runs: what linking alone brings in.
const bool glibMappedAtStart = mapped("libglib-2.0.so.0") || mapped("libgio-2.0.so.0");

TEST(DesktopModule, LoadsOnFirstUseAndMakesThePartsOnlyInASession) {
  EXPECT_FALSE(glibMappedAtStart) << "the platform links GLib: every launch would map it";

  std::string error;
  MakeDesktopPartsEntry makeParts = loadDesktopModule(&error);
  ASSERT_NE(makeParts, nullptr) << error;
  EXPECT_TRUE(mapped("libgio-2.0.so.0"));
  EXPECT_EQ(loadDesktopModule(&error), makeParts) << "loaded once";

  static char name[] = "desktop_module_test";
  char* argv[] = {name, nullptr};
  LinuxWorkspace plain;

  std::map<std::string, std::string> none;
  std::optional<DesktopParts> parts;
  makeParts(1, argv, &none, &plain, &parts);
  EXPECT_FALSE(parts) << "no display and no bus: the headless backend";

  // A bus address is enough to count as a session; nothing listens there,
  // and nothing connects before the application runs.
  std::map<std::string, std::string> session = {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/ql-bus"}};
  makeParts(1, argv, &session, &plain, &parts);
  ASSERT_TRUE(parts);
  EXPECT_NE(parts->loop, nullptr);
  EXPECT_NE(parts->application, nullptr);
  EXPECT_NE(parts->alerts, nullptr);
  EXPECT_NE(parts->workspace, nullptr);
  EXPECT_TRUE(parts->loop->isMainThread());
}

}  // namespace
}  // namespace ql::linux_backend::desktop
