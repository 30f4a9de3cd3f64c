#include "common/path_equality.h"

#include <dlfcn.h>
// Declarations only: ICU is opened with dlopen the first time a comparison
// needs it, so a launch whose paths are all ASCII never maps ICU's
// libraries (and its 30 MB data file) nor pays for their relocation. The
// headers' renaming macros turn each name into the versioned entry point of
// the ICU these headers belong to (unorm2_normalize_72), which is what the
// lookups below ask for.
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/uvernum.h>

#include <vector>

#include "common/utf8.h"

#define QL_ICU_STRING2(x) #x
#define QL_ICU_STRING(x) QL_ICU_STRING2(x)

namespace ql {
namespace {

struct Icu {
  decltype(&::u_strFromUTF8) fromUtf8 = nullptr;
  decltype(&::unorm2_normalize) normalize = nullptr;
  const UNormalizer2* nfd = nullptr;
};

// The versioned name first; the plain one serves an ICU built with its
// renaming turned off, which exports only that.
void* entryPoint(void* library, const char* versioned, const char* plain) {
  void* p = ::dlsym(library, versioned);
  return p ? p : ::dlsym(library, plain);
}

// Null when ICU cannot be loaded. Loaded once and never closed: ICU keeps
// its normaliser data cached for the life of the process anyway.
const Icu* icu() {
  static const Icu* const loaded = []() -> const Icu* {
    void* library = ::dlopen("libicuuc.so." QL_ICU_STRING(U_ICU_VERSION_MAJOR_NUM), RTLD_NOW | RTLD_LOCAL);
    if (!library) return nullptr;
    static Icu api;
    api.fromUtf8 = reinterpret_cast<decltype(api.fromUtf8)>(
        entryPoint(library, QL_ICU_STRING(u_strFromUTF8), "u_strFromUTF8"));
    api.normalize = reinterpret_cast<decltype(api.normalize)>(
        entryPoint(library, QL_ICU_STRING(unorm2_normalize), "unorm2_normalize"));
    auto nfdInstance = reinterpret_cast<decltype(&::unorm2_getNFDInstance)>(
        entryPoint(library, QL_ICU_STRING(unorm2_getNFDInstance), "unorm2_getNFDInstance"));
    if (!api.fromUtf8 || !api.normalize || !nfdInstance) return nullptr;
    UErrorCode status = U_ZERO_ERROR;
    api.nfd = nfdInstance(&status);
    if (U_FAILURE(status) || !api.nfd) return nullptr;
    return &api;
  }();
  return loaded;
}

bool isAscii(const std::string& s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

// The canonical decomposition of valid UTF-8 `s`, in UTF-16.
bool decompose(const Icu& api, const std::string& s, std::vector<UChar>* out) {
  // UTF-8 never takes fewer code units than UTF-16 for the same text.
  std::vector<UChar> utf16(s.size() + 1);
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  api.fromUtf8(utf16.data(), static_cast<int32_t>(utf16.size()), &length, s.data(),
               static_cast<int32_t>(s.size()), &status);
  if (U_FAILURE(status)) return false;
  // Decomposition can grow the text; one retry with the size ICU asks for.
  out->assign(static_cast<size_t>(length) * 2 + 8, 0);
  for (int attempt = 0; attempt < 2; ++attempt) {
    status = U_ZERO_ERROR;
    int32_t n = api.normalize(api.nfd, utf16.data(), length, out->data(), static_cast<int32_t>(out->size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      out->assign(static_cast<size_t>(n), 0);
      continue;
    }
    if (U_FAILURE(status)) return false;
    out->resize(static_cast<size_t>(n));
    return true;
  }
  return false;
}

}  // namespace

bool pathsEqual(const std::string& a, const std::string& b) {
  if (a == b) return true;
  // ASCII is its own canonical decomposition, so two different ASCII texts
  // stay different. Only both sides qualify: a few non-ASCII characters
  // decompose to ASCII (the Kelvin sign to "K").
  if (isAscii(a) && isAscii(b)) return false;
  // Linux paths are bytes. Decoding invalid UTF-8 would turn different bad
  // bytes into the same replacement character and make unequal paths equal,
  // so such paths are only ever compared byte for byte.
  if (!isValidUtf8(a) || !isValidUtf8(b)) return false;
  const Icu* api = icu();
  // Without ICU the comparison falls back to the bytes, which were unequal.
  if (!api) return false;
  std::vector<UChar> na, nb;
  return decompose(*api, a, &na) && decompose(*api, b, &nb) && na == nb;
}

}  // namespace ql
