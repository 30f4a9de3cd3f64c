// Whether two path texts name the same string: byte-equal, or equal once both
// are put in canonical decomposition, so that "é" typed precomposed and "é"
// as "e" plus a combining acute compare equal. Nothing else is folded: no
// ".", "..", trailing slashes, case or symbolic links.
#pragma once

#include <string>

namespace ql {

bool pathsEqual(const std::string& a, const std::string& b);

}  // namespace ql
