// The launcher executable: the real platform backend and the entry point.
#include "app/app_delegate.h"
#include "platform/linux/linux_platform.h"

int main(int argc, char** argv) {
  auto backend = ql::linux_backend::makeLinuxPlatform(argc, argv);
  return ql::launcherMain(backend->platform());
}
