// The fixed times of process supervision, in one place.
#pragma once

#include "platform/clock.h"

namespace ql::supervision {

// How long an overdue command gets to exit after SIGTERM before SIGKILL.
// Long enough for an orderly child to flush and exit.
inline constexpr Duration kTerminateGrace{2.0};
// After SIGKILL the kernel ends the child at once; this only bounds the wait.
inline constexpr Duration kKillGrace{1.0};
// How long the pipes may stay open once the child is gone. A child that has
// exited has written everything it will write; only a descendant that
// inherited the pipe can hold it open longer, and it is not waited for.
inline constexpr Duration kPipeGrace{1.0};

// Successor wait after the service exits.
inline constexpr Duration kSuccessorPollInterval{0.5};
inline constexpr int kSuccessorPolls = 20;
inline constexpr int kSuccessorPollCap = 3600;

// Browser fallback.
inline constexpr double kFallbackWindowSeconds = 150;
inline constexpr double kFallbackAttemptLimitSeconds = 10;
inline constexpr Duration kFallbackRetryDelay{2.0};

// User actions.
inline constexpr double kOpenLimitSeconds = 5;
inline constexpr double kStopLimitSeconds = 30;

}  // namespace ql::supervision
