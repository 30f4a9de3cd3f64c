// The desktop entry and icon of an installed bundle, written into the
// user's data directory each time the installed copy starts, so the entry
// always points at the bundle that actually runs (a move or an update of
// the bundle is picked up at its next start). A copy that is not installed
// writes nothing, and takes away an entry left pointing at a launcher that
// is no longer there (an installed copy moved out of its Applications
// folder, or deleted).
#pragma once

#include <string>
#include <vector>

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

// The Applications folders the install offer knows, resolved: the build's
// system folder and ~/Applications of $HOME.
std::vector<std::string> resolvedApplicationsFolders();

// Whether the copy at `bundlePath` is installed (bundleIsInstalled with the
// path and the folders above resolved).
bool copyIsInstalled(const std::string& bundlePath);

// Removes <dataHome>/applications/<id>.desktop and its icon when the entry's
// TryExec names no executable file any more. An entry of a copy that is
// still there, installed elsewhere, is left alone. True when it removed one.
bool removeStaleDesktopEntry(const std::string& applicationId, const std::string& dataHome = userDataHome());

// What each start does: an installed copy writes its entry, any other copy
// only clears a stale one.
void refreshDesktopEntry(const std::string& bundlePath, const std::string& executable,
                         const std::string& applicationId, const std::string& dataHome = userDataHome());

}  // namespace ql::linux_backend::desktop
