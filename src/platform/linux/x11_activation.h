// Bringing another program's windows to the front on X11, the way a task
// bar does: ask the window manager (EWMH _NET_ACTIVE_WINDOW) to activate
// every top-level window that program put up. libX11 is loaded with dlopen
// at the first request: the launcher itself links no X library, and a
// launcher that never activates anything never maps one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ql::linux_backend {

// The X server time carried by a startup-notification id
// ("<anything>_TIME<decimal>"), as launchers and `gapplication` pass it on
// in DESKTOP_STARTUP_ID. Nothing when the id carries none or a bad one.
std::optional<uint32_t> timestampFromStartupId(const std::string& startupId);

// The libX11 soname the dynamic linker finds.
inline constexpr const char* kX11Library = "libX11.so.6";

struct X11ActivationResult {
  bool displayOpened = false;  // false: no DISPLAY, no libX11, or no server
  int windowsActivated = 0;    // top-level windows of the process asked for
};

// Finds the top-level windows whose _NET_WM_PID is `pid` (and whose
// WM_CLIENT_MACHINE, when set, is this host) on $DISPLAY and has each
// activated: through the window manager when it supports
// _NET_ACTIVE_WINDOW (source indication 2, a direct user action, with
// `timestamp`), otherwise raised and given the input focus directly. A
// timestamp of 0 (the request carried none) is replaced by the server's
// current time, which window managers accept where they refuse 0. With
// several windows, the one on top stays on top. Main thread only: Xlib's
// error handler is process-wide and is swapped for the call's duration.
X11ActivationResult activateX11WindowsOfProcess(int pid, uint32_t timestamp, const char* library = kX11Library);

}  // namespace ql::linux_backend
