// The appended signature is read from the end of a service binary that
// anyone who can write the bundle controls.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "codesign/appended.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = ::memfd_create("appended", MFD_CLOEXEC);
  if (fd < 0) return 0;
  size_t off = 0;
  while (off < size) {
    ssize_t n = ::write(fd, data + off, size - off);
    if (n <= 0) break;
    off += static_cast<size_t>(n);
  }
  qlsign::AppendedSignature sig;
  qlsign::Outcome outcome = qlsign::readAppendedSignature(fd, &sig);
  ::close(fd);
  if (!outcome.ok()) return 0;
  // Accepted parts fit the file exactly and within the stated bounds.
  if (sig.codeDirectory.size() > qlsign::kMaxCodeDirectorySize) __builtin_trap();
  if (sig.signature.size() > qlsign::kMaxSignatureSize) __builtin_trap();
  if (sig.payloadLength + sig.codeDirectory.size() + sig.signature.size() + qlsign::kTrailerSize != size)
    __builtin_trap();
  // Composing the same parts gives back the same tail.
  std::string tail = qlsign::composeAppendedSignature(sig.codeDirectory, sig.signature);
  if (tail.size() > size || tail.compare(0, tail.size(), reinterpret_cast<const char*>(data) + size - tail.size(),
                                         tail.size()) != 0)
    __builtin_trap();
  return 0;
}
