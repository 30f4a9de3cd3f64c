// Modal alerts.
#pragma once

#include <string>
#include <vector>

namespace ql {

enum class AlertStyle { kWarning = 0, kInformational = 1, kCritical = 2 };

// The response of the first button; later buttons count up from it.
inline constexpr int kAlertFirstButtonReturn = 1000;
inline constexpr int kModalPanelWindowLevel = 8;
inline constexpr unsigned kNonactivatingPanelMask = 0x80;

struct Alert {
  AlertStyle style = AlertStyle::kWarning;
  std::string messageText;
  std::string informativeText;
  std::vector<std::string> buttons;  // empty: the platform's single "OK"
  int windowLevel = 0;
  unsigned styleMask = 0;
};

class Alerts {
 public:
  virtual ~Alerts() = default;
  // Whether alert windows are panels (then they get the non-activating bit).
  virtual bool alertWindowIsPanel() = 0;
  // Shows `alert` and blocks until it is dismissed. Returns
  // kAlertFirstButtonReturn + the index of the button chosen; any other value
  // (a closed window, a headless answer) means "not the first button".
  virtual int runModal(const Alert& alert) = 0;
};

}  // namespace ql
