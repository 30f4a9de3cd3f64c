// The launcher executable: the real platform backend and the entry point.
#include <cstdlib>

#include "app/app_delegate.h"
#include "platform/linux/linux_platform.h"

int main(int argc, char** argv) {
  auto backend = ql::linux_backend::makeLinuxPlatform(argc, argv);
  int status = ql::launcherMain(backend->platform());
  // The quit path has run; as when an application quits, the process ends
  // here with background work (a retry loop, a watchdog) possibly still in
  // flight. Destroying the platform under those threads would only give them
  // freed objects to touch, so it is left to the exit.
  std::exit(status);
}
