// Signing a standalone executable (appended signature) or a bundle (nested
// code first, then the manifest, the code directory and the CMS signature in
// Contents/_CodeSignature).
#pragma once

#include <string>
#include <vector>

#include "codesign/identity.h"
#include "codesign/status.h"

namespace qlsign {

class WorkerPool;

struct SignOptions {
  std::string identifier;      // empty: CFBundleIdentifier, else the file or folder name
  std::string mainExecutable;  // bundle only, relative; empty: CFBundleExecutable or the one file in Contents/MacOS
  WorkerPool* pool = nullptr;
};

struct SignResult {
  Bytes cdhash;
  std::string designatedRequirement;
  std::vector<std::string> nested;  // relative paths of nested code signed on the way
};

// Replaces an existing appended signature; refuses a malformed one.
Outcome signExecutable(const std::string& path, const SigningIdentity& identity, const SignOptions& options,
                       SignResult* result = nullptr);
Outcome signBundle(const std::string& path, const SigningIdentity& identity, const SignOptions& options,
                   SignResult* result = nullptr);

// Where nested code lives in a bundle: every "*.app" folder directly in
// Contents/Helpers and every regular file directly in Contents/Resources/bin.
std::vector<std::string> nestedCodePaths(const std::string& bundle);

bool isValidUtf8(const std::string& s);

}  // namespace qlsign
