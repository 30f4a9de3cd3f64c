// The signature appended to a standalone executable, in the manner of Linux
// kernel module signatures: the file is
//
//   payload | code directory | CMS blob | trailer (44 bytes)
//
// and the trailer, all integers big-endian, is
//
//   offset  0  u8   version          1
//   offset  1  u8   hash type        1 (SHA-256)
//   offset  2  u16  reserved         0
//   offset  4  u32  code directory length
//   offset  8  u32  CMS blob length
//   offset 12  u32  reserved         0
//   offset 16  28 bytes marker       "~qlsign appended signature~\n"
//
// The marker is the last thing in the file. A copy of the file carries the
// signature with it; stripping the binary removes it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "codesign/ossl.h"
#include "codesign/status.h"

namespace qlsign {

inline constexpr std::string_view kAppendedMarker = "~qlsign appended signature~\n";
inline constexpr size_t kTrailerSize = 16 + 28;
inline constexpr uint32_t kMaxCodeDirectorySize = 64 * 1024;
inline constexpr uint32_t kMaxSignatureSize = 1024 * 1024;

struct AppendedSignature {
  uint64_t payloadLength = 0;
  std::string codeDirectory;
  Bytes signature;
};

// Reads and checks the trailer of an open file strictly: the marker last,
// version and hash type known, reserved fields zero, lengths within bounds
// and within the file, and no second signature before this one.
// kUnsigned when the file does not end with the marker.
Outcome readAppendedSignature(int fd, AppendedSignature* out);

// The bytes to append after `payloadLength` bytes of payload.
std::string composeAppendedSignature(std::string_view codeDirectory, const Bytes& signature);

}  // namespace qlsign
