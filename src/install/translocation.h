// The run-time lookup that undoes App Translocation.
//
// The launcher never links this function. It opens the security library
// (PlatformFacts::securityFramework) with dlopen, looks the symbol up by name
// and calls it only for a bundle path that contains "/AppTranslocation/".
// Where the library or the symbol is missing (every Linux system today) the
// bundle path is used as reported.
//
// The C interface a library must export under this name:
//
//   char* SecTranslocateCreateOriginalPathForURL(const char* path, void** error);
//
//   path   the absolute path of the bundle as the running process sees it,
//          NUL-terminated, UTF-8. Never NULL.
//   error  an optional out-parameter for an error object. The launcher always
//          passes NULL; an implementation must accept that.
//   result a newly allocated (malloc), NUL-terminated absolute path of the
//          bundle's original location, which the caller releases with free();
//          or NULL when the path is not translocated or cannot be mapped back.
//
// A plain path stands in for the file URL of the platform the launcher was
// first written for: a URL here would carry nothing but its path.
#pragma once

extern "C" {
typedef char* (*SecTranslocateCreateOriginalPathForURLFn)(const char* path, void** error);
}

namespace ql {

inline constexpr const char* kTranslocationMarker = "/AppTranslocation/";
inline constexpr const char* kTranslocationSymbol = "SecTranslocateCreateOriginalPathForURL";

}  // namespace ql
