// Pure formatting of launcher log lines.
#pragma once

#include <string>

#include "platform/clock.h"

namespace ql {

// ISO 8601 internet date-time in UTC with whole seconds: 2026-12-10T01:43:28Z.
std::string formatLogTimestamp(TimePoint t);
// "[" + timestamp + "] " + message + "\n"; the message is not escaped.
std::string formatLogLine(TimePoint t, const std::string& message);

}  // namespace ql
