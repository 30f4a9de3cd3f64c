/* A stand-in for the window shell in the launch benchmarks: the first thing
 * it does is read CLOCK_MONOTONIC, which it writes (nanoseconds, decimal) to
 * the file named by $QL_STAMP_FILE; then it exits 0, so the launcher that
 * spawned it quits as it would after an orderly shell exit. With
 * $QL_STAMP_HOLD set it stays, idle, until a signal ends it (exit 0 on
 * SIGTERM): an idle shell for the resident-memory figure.
 *
 * Plain C and libc only, so that its own start adds as little as possible;
 * the exec/spawn floor benchmark spawns the same program. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static void onTerm(int sig) {
  (void)sig;
  _exit(0);
}

int main(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const char* path = getenv("QL_STAMP_FILE");
  if (!path || !*path) return 0;
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return 3;
  dprintf(fd, "%lld\n", (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec);
  close(fd);
  if (getenv("QL_STAMP_HOLD")) {
    signal(SIGTERM, onTerm);
    for (;;) pause();
  }
  return 0;
}
