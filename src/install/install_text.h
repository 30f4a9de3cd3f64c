// Path helpers of the install subsystem.
#pragma once

#include <string>

namespace ql {

// The path with its last component removed, as NSString's
// stringByDeletingLastPathComponent does: trailing slashes are ignored,
// "/a/b" gives "/a", "/a" gives "/", "/" stays "/", and "a" gives "".
std::string deletingLastPathComponent(const std::string& path);

}  // namespace ql
