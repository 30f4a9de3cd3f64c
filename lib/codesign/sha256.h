// SHA-256 through OpenSSL's EVP interface (which uses the processor's SHA
// instructions where present).
#pragma once

#include <string>
#include <string_view>

#include "codesign/ossl.h"

namespace qlsign {

inline constexpr size_t kSha256Size = 32;

Bytes sha256(std::string_view data);

// Hashes the first `length` bytes of an open descriptor from offset 0, or the
// whole file when `length` is negative. False on a read error or when the
// file is shorter than `length`.
bool sha256Descriptor(int fd, long long length, Bytes* out);

// Opens `path` without following a final symbolic link and hashes it; false
// when it is not a regular file or cannot be read.
bool sha256File(const std::string& path, Bytes* out);

}  // namespace qlsign
