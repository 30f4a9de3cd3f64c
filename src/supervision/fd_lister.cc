// Prints the descriptors open in this process, one per line, leaving out
// the one it uses to read the list. Run as a child to see what it inherited.
#include <dirent.h>

#include <cstdio>
#include <cstdlib>

int main() {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return 2;
  int own = dirfd(dir);
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    int fd = std::atoi(e->d_name);
    if (fd != own) std::printf("%d\n", fd);
  }
  closedir(dir);
  return 0;
}
