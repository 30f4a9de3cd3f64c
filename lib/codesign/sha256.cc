#include "codesign/sha256.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace qlsign {

namespace {
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
// Large reads keep the syscall cost well below the hashing cost.
constexpr size_t kChunk = size_t(1) << 20;
}  // namespace

Bytes sha256(std::string_view data) {
  Bytes out(kSha256Size);
  unsigned int n = 0;
  EVP_Digest(data.data(), data.size(), out.data(), &n, EVP_sha256(), nullptr);
  return out;
}

bool sha256Descriptor(int fd, long long length, Bytes* out) {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return false;
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::unique_ptr<char[]> buf(new char[kChunk]);
  long long done = 0;
  while (length < 0 || done < length) {
    size_t want = kChunk;
    if (length >= 0 && static_cast<long long>(want) > length - done) want = static_cast<size_t>(length - done);
    ssize_t n = ::pread(fd, buf.get(), want, done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    if (EVP_DigestUpdate(ctx.get(), buf.get(), static_cast<size_t>(n)) != 1) return false;
    done += n;
  }
  if (length >= 0 && done != length) return false;
  Bytes digest(kSha256Size);
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest.data(), &len) != 1) return false;
  *out = std::move(digest);
  return true;
}

bool sha256File(const std::string& path, Bytes* out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && sha256Descriptor(fd, -1, out);
  ::close(fd);
  return ok;
}

}  // namespace qlsign
