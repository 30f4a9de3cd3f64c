#include "codesign/sha256.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace qlsign {

namespace {
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
// The read buffer is small on purpose. A 1 MiB buffer per chunk meant that
// almost every page a read filled was a page the process had never touched
// (in a small launch, 414 of the launcher's page faults were inside pread
// for about 1.7 MB hashed), and a fresh page costs a fault, far more than
// a syscall, inside a virtual machine. 64 KiB comes from the thread's heap,
// is reused by the next chunk without new faults and stays in cache between
// the read and the hash; the extra reads cost nothing measurable on a
// 300 MB bundle.
constexpr uint64_t kReadSize = uint64_t(64) << 10;

// EVP_sha256() is a legacy handle: OpenSSL 3 looks the implementation up
// by name again at every EVP_DigestInit_ex, one locked lookup per chunk
// hashed. The fetched one is looked up once and kept for the process (it
// is reference-counted and immutable, so every thread may use it).
const EVP_MD* sha256Md() {
  static EVP_MD* const fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return fetched ? fetched : EVP_sha256();
}
}  // namespace

Bytes sha256(std::string_view data) {
  Bytes out(kSha256Size);
  unsigned int n = 0;
  EVP_Digest(data.data(), data.size(), out.data(), &n, sha256Md(), nullptr);
  return out;
}

bool sha256Range(int fd, uint64_t offset, uint64_t length, Bytes* out) {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), sha256Md(), nullptr) != 1) return false;
  // A small file gets a small buffer: most sealed files are a few KiB.
  const size_t bufSize = static_cast<size_t>(std::max<uint64_t>(1, std::min(length, kReadSize)));
  std::unique_ptr<char[]> buf(new char[bufSize]);
  uint64_t done = 0;
  while (done < length) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(bufSize, length - done));
    ssize_t n = ::pread(fd, buf.get(), want, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;  // the file ended early
    if (EVP_DigestUpdate(ctx.get(), buf.get(), static_cast<size_t>(n)) != 1) return false;
    done += static_cast<uint64_t>(n);
  }
  Bytes digest(kSha256Size);
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest.data(), &len) != 1) return false;
  *out = std::move(digest);
  return true;
}

}  // namespace qlsign
