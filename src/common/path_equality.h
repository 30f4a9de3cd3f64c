// Whether two path texts name the same string: byte-equal, or equal once both
// are put in canonical decomposition, so that "é" typed precomposed and "é"
// as "e" plus a combining acute compare equal. Nothing else is folded: no
// ".", "..", trailing slashes, case or symbolic links.
//
// Texts that are both ASCII are compared as bytes. Any other pair needs ICU,
// which the first such comparison loads (dlopen of the ICU the launcher was
// built against); if it cannot be loaded, unequal bytes count as unequal.
// Thread-safe.
#pragma once

#include <string>

namespace ql {

bool pathsEqual(const std::string& a, const std::string& b);

}  // namespace ql
