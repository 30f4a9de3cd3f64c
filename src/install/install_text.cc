#include "install/install_text.h"

namespace ql {

std::string deletingLastPathComponent(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  if (end == 0) return "";
  if (end == 1 && path[0] == '/') return "/";
  size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return "";
  // Collapse the run of slashes before the last component ("/a//b" -> "/a").
  while (slash > 0 && path[slash - 1] == '/') --slash;
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace ql
