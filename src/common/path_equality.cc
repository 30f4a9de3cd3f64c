#include "common/path_equality.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include "common/utf8.h"

namespace ql {

bool pathsEqual(const std::string& a, const std::string& b) {
  if (a == b) return true;
  // Linux paths are bytes. Decoding invalid UTF-8 would turn different bad
  // bytes into the same replacement character and make unequal paths equal,
  // so such paths are only ever compared byte for byte.
  if (!isValidUtf8(a) || !isValidUtf8(b)) return false;
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  if (U_FAILURE(status)) return false;
  icu::UnicodeString na = nfd->normalize(icu::UnicodeString::fromUTF8(a), status);
  icu::UnicodeString nb = nfd->normalize(icu::UnicodeString::fromUTF8(b), status);
  return U_SUCCESS(status) && na == nb;
}

}  // namespace ql
