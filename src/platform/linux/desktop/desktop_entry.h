// The desktop entry and icon of an installed bundle, written into the
// user's data directory each time the installed copy starts, so the entry
// always points at the bundle that actually runs (a move or an update of
// the bundle is picked up at its next start).
#pragma once

#include <string>

namespace ql::linux_backend::desktop {

// data/quillmark.desktop.in and data/quillmark.svg, compiled in so the
// launcher does not depend on how the bundle lays out its resources.
extern const char* const kDesktopEntryTemplate;
extern const char* const kApplicationIconSvg;

// $XDG_DATA_HOME, or ~/.local/share when it is unset or not absolute.
std::string userDataHome();

// Writes <dataHome>/applications/<id>.desktop and
// <dataHome>/icons/hicolor/scalable/apps/<id>.svg (each replaced atomically,
// and only when its contents changed). Returns false, after a line on
// standard error, when either could not be written.
bool installDesktopEntry(const std::string& bundlePath, const std::string& executable,
                         const std::string& applicationId, const std::string& dataHome = userDataHome());

}  // namespace ql::linux_backend::desktop
