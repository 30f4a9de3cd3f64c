#include "app/app_delegate.h"

namespace ql {

bool AppDelegate::lockfilePidAlive() { return false; }
void AppDelegate::launchLegacyDaemon() { logLine("daemon supervision not built yet"); }
void AppDelegate::daemonExited(int) {}
void AppDelegate::successorWait(int) {}

}  // namespace ql
