// The browser fallback: `zorvan open` retried in the background until it
// succeeds or its time is up.
#include "app/app_delegate.h"
#include "supervision/child_slot.h"
#include "supervision/supervision_timing.h"

namespace ql {

void AppDelegate::enterBrowserFallback() {
  // A shell that died on its way out (the same Ctrl-C, the quit) is no
  // reason to open a browser for a launcher that is quitting.
  if (quitRequested()) return;
  browserFallbackActive_ = true;
  // The launcher ran as an accessory next to the shell; now it is the only
  // thing the user has, so it gets a Dock icon and its menu.
  p_.application.setActivationPolicy(ActivationPolicy::kRegular);
  // The loop works on its own copy and touches no field; its attempts live
  // in a slot that the quit path stops (applicationShouldTerminate).
  std::string zorvan = zorvan_;
  std::shared_ptr<supervision::ChildSlot> attempts = fallbackAttempts_;
  auto self = shared_from_this();
  p_.dispatch.asyncGlobal([self, zorvan, attempts] {
    Clock& clock = self->p_.clock;
    TimePoint deadline = clock.now() + std::chrono::duration_cast<Clock_t::duration>(
                                           Duration(supervision::kFallbackWindowSeconds));
    for (;;) {
      if (self->quitRequested() || attempts->stopped()) return;
      if (!(clock.now() < deadline)) {
        self->logLine("browser fallback: `zorvan open` never succeeded within 150s — giving up");
        return;
      }
      auto result = self->runCaptureIn(attempts.get(), {zorvan, "open"}, supervision::kFallbackAttemptLimitSeconds);
      if (result && result->status == 0) return;
      if (self->quitRequested() || attempts->stopped()) return;
      clock.sleepFor(supervision::kFallbackRetryDelay);
    }
  });
}

}  // namespace ql
