// SHA-256 through OpenSSL's EVP interface (which uses the processor's SHA
// instructions where present).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "codesign/ossl.h"

namespace qlsign {

inline constexpr size_t kSha256Size = 32;

Bytes sha256(std::string_view data);

// Hashes exactly `length` bytes of an open descriptor starting at `offset`.
// False on a read error or when the file ends before `offset + length`.
bool sha256Range(int fd, uint64_t offset, uint64_t length, Bytes* out);

}  // namespace qlsign
