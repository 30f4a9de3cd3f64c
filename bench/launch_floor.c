/* The floor of a launch: a minimal program that, once exec'd, spawns its
 * first argument (posix_spawn, the environment passed on) and waits for it.
 * Timed from its own exec to the spawned program's first instruction, it is
 * the cost of two program starts on this machine, with nothing else done. */
#define _GNU_SOURCE
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  pid_t pid;
  if (posix_spawn(&pid, argv[1], NULL, NULL, argv + 1, environ) != 0) return 1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
