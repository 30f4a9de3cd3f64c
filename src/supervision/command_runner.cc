#include "app/app_delegate.h"

namespace ql {

void AppDelegate::run(const std::vector<std::string>&, double) {}
std::optional<CaptureResult> AppDelegate::runCapture(const std::vector<std::string>&, double) {
  return std::nullopt;
}
void AppDelegate::reportStandardError(const std::string&, const std::vector<std::string>&, Task&) {}

}  // namespace ql
