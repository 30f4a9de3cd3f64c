// A stand-in application executable for the workspace test: it writes its
// process id next to itself ("<executable>.pid") and then waits, touching
// neither its signal mask nor its signal dispositions, so the test sees them
// as the launcher left them.
#include <unistd.h>

#include <cstdio>
#include <string>

int main(int, char** argv) {
  std::string path = std::string(argv[0]) + ".pid";
  std::string tmp = path + ".tmp";
  if (FILE* f = std::fopen(tmp.c_str(), "w")) {
    std::fprintf(f, "%d\n", static_cast<int>(::getpid()));
    std::fclose(f);
    std::rename(tmp.c_str(), path.c_str());
  }
  ::sleep(30);
  return 0;
}
