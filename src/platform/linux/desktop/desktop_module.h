// Loads the desktop backend, which the launcher carries as a shared module
// of its own so that only a launch inside a desktop session maps GLib and
// GIO (about ten libraries, a third of the dynamic loading of a launch, and
// their resident pages for the rest of the product's life).
#pragma once

#include <string>

#include "platform/linux/desktop/desktop_backend.h"

namespace ql::linux_backend::desktop {

// The module's entry point, or null with *error set. The first call loads
// the module; later calls return the same entry or fail the same way. The
// module is never unloaded: GLib registers types and threads that cannot
// be. Thread-safe.
//
// The module's bytes are linked into the executable, so the launcher stays
// one file that its signature covers whole, and a bundle cannot pair it with
// a module of another build. They are copied to an anonymous memory file
// and opened from there; the module resolves the platform's symbols against
// the executable, which therefore exports them (ql_loads_desktop_module in
// CMake).
MakeDesktopPartsEntry loadDesktopModule(std::string* error);

}  // namespace ql::linux_backend::desktop
