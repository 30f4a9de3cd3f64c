#include "codesign/appended.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qlsign {

namespace {

uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

void putBe32(std::string* out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<char>((v >> shift) & 0xff));
}

bool readExact(int fd, void* buf, size_t size, off_t offset) {
  auto* p = static_cast<char*>(buf);
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::pread(fd, p + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

Outcome readAppendedSignature(int fd, AppendedSignature* out) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return Outcome::failure(kInternal, std::string("fstat: ") + strerror(errno));
  if (!S_ISREG(st.st_mode)) return Outcome::failure(kUnsigned, "not a regular file");
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size < kTrailerSize) return Outcome::failure(kUnsigned, "no appended signature");
  uint8_t t[kTrailerSize];
  if (!readExact(fd, t, kTrailerSize, static_cast<off_t>(size - kTrailerSize)))
    return Outcome::failure(kInternal, "cannot read the trailer");
  if (std::memcmp(t + 16, kAppendedMarker.data(), kAppendedMarker.size()) != 0)
    return Outcome::failure(kUnsigned, "no appended signature");
  if (t[0] != 1) return Outcome::failure(kMalformed, "unknown signature version");
  if (t[1] != 1) return Outcome::failure(kMalformed, "unknown hash type");
  if (t[2] != 0 || t[3] != 0 || be32(t + 12) != 0) return Outcome::failure(kMalformed, "reserved trailer field not zero");
  uint32_t cdLength = be32(t + 4), sigLength = be32(t + 8);
  if (cdLength == 0 || cdLength > kMaxCodeDirectorySize) return Outcome::failure(kMalformed, "code directory length out of bounds");
  if (sigLength == 0 || sigLength > kMaxSignatureSize) return Outcome::failure(kMalformed, "signature length out of bounds");
  uint64_t tail = kTrailerSize + uint64_t(cdLength) + sigLength;
  if (tail > size) return Outcome::failure(kMalformed, "signature longer than the file");
  AppendedSignature result;
  result.payloadLength = size - tail;
  // One signature only: a payload that itself ends in a signature was signed
  // twice, and which of the two counts would be a matter of parser taste.
  if (result.payloadLength >= kAppendedMarker.size()) {
    char prior[kAppendedMarker.size()];
    if (!readExact(fd, prior, sizeof prior, static_cast<off_t>(result.payloadLength - sizeof prior)))
      return Outcome::failure(kInternal, "cannot read the payload");
    if (std::memcmp(prior, kAppendedMarker.data(), sizeof prior) == 0)
      return Outcome::failure(kMalformed, "more than one appended signature");
  }
  result.codeDirectory.resize(cdLength);
  result.signature.resize(sigLength);
  if (!readExact(fd, result.codeDirectory.data(), cdLength, static_cast<off_t>(result.payloadLength)) ||
      !readExact(fd, result.signature.data(), sigLength, static_cast<off_t>(result.payloadLength + cdLength)))
    return Outcome::failure(kInternal, "cannot read the signature");
  *out = std::move(result);
  return Outcome::success();
}

std::string composeAppendedSignature(std::string_view codeDirectory, const Bytes& signature) {
  std::string out(codeDirectory);
  out.append(reinterpret_cast<const char*>(signature.data()), signature.size());
  out.push_back(1);  // version
  out.push_back(1);  // SHA-256
  out.push_back(0);
  out.push_back(0);
  putBe32(&out, static_cast<uint32_t>(codeDirectory.size()));
  putBe32(&out, static_cast<uint32_t>(signature.size()));
  putBe32(&out, 0);
  out.append(kAppendedMarker);
  return out;
}

}  // namespace qlsign
