#include "app/app_delegate.h"

namespace ql {

void AppDelegate::openAction() {}
void AppDelegate::openInBrowser() { openAction(); }
bool AppDelegate::applicationShouldHandleReopen(bool) {
  openAction();
  return true;
}
TerminateReply AppDelegate::applicationShouldTerminate() { return TerminateReply::kNow; }

}  // namespace ql
