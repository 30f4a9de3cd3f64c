#include "platform/linux/desktop/desktop_module.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

// desktop_module_blob.cc: the module's bytes between these two symbols.
extern "C" const unsigned char ql_desktop_module_start[];
extern "C" const unsigned char ql_desktop_module_end[];

namespace ql::linux_backend::desktop {

namespace {

#ifndef MFD_EXEC
#define MFD_EXEC 0x0010U  // Linux 6.3; older headers lack it
#endif

// An anonymous file holding the module, or -1 with *error set.
int moduleFile(std::string* error) {
  // Kernels that can refuse executable memory files (vm.memfd_noexec) want
  // MFD_EXEC said; kernels before 6.3 refuse the unknown flag instead.
  int fd = ::memfd_create("quillmark-desktop.so", MFD_CLOEXEC | MFD_EXEC);
  if (fd < 0 && errno == EINVAL) fd = ::memfd_create("quillmark-desktop.so", MFD_CLOEXEC);
  if (fd < 0) {
    *error = std::string("memfd_create: ") + std::strerror(errno);
    return -1;
  }
  const unsigned char* p = ql_desktop_module_start;
  while (p < ql_desktop_module_end) {
    ssize_t n = ::write(fd, p, static_cast<size_t>(ql_desktop_module_end - p));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = std::string("writing the module: ") + (n < 0 ? std::strerror(errno) : "short write");
      ::close(fd);
      return -1;
    }
    p += n;
  }
  return fd;
}

MakeDesktopPartsEntry load(std::string* error) {
  int fd = moduleFile(error);
  if (fd < 0) return nullptr;
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ::close(fd);  // the loader's mappings keep the file alive
  if (!handle) {
    const char* why = ::dlerror();
    *error = why ? why : "dlopen of the desktop module failed";
    return nullptr;
  }
  auto entry = reinterpret_cast<MakeDesktopPartsEntry>(::dlsym(handle, kMakeDesktopPartsEntry));
  if (!entry) *error = std::string("the desktop module has no ") + kMakeDesktopPartsEntry;
  return entry;  // on failure the handle stays open: see the header
}

}  // namespace

MakeDesktopPartsEntry loadDesktopModule(std::string* error) {
  static std::once_flag once;
  static MakeDesktopPartsEntry entry = nullptr;
  static std::string failure;
  std::call_once(once, [] { entry = load(&failure); });
  if (!entry) *error = failure;
  return entry;
}

}  // namespace ql::linux_backend::desktop
