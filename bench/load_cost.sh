#!/usr/bin/env bash
# What loading the launcher's shared libraries costs before any of its code
# runs: empty programs (main returns 0) linked against the launcher's own
# DT_NEEDED libraries, all of them, all but libcrypto, and libcrypto alone,
# each started and waited for RUNS times, interleaved, next to an empty C
# program linked against libc only (the reference). Prints medians, the
# ratio to the reference and the page faults of one start.
#
#   bench/load_cost.sh LAUNCHER [RUNS]
set -euo pipefail

launcher=$1
runs=${2:-200}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/ql-load-XXXXXX")
trap 'rm -rf "$tmp"' EXIT

echo 'int main(void) { return 0; }' >"$tmp/empty.c"
cc -O2 -o "$tmp/libc-only" "$tmp/empty.c"

# The launcher's direct dependencies, as the loader resolves them.
mapfile -t needed < <(readelf -dW "$launcher" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
paths=()
crypto=""
for n in "${needed[@]}"; do
  p=$(ldd "$launcher" | awk -v n="$n" '$1 == n {print $3}')
  [ -n "$p" ] || { echo "load_cost: $n not resolved" >&2; exit 1; }
  case "$n" in
    libc.so.*) ;;  # every program has it
    libcrypto.so.*) crypto=$p; paths+=("$p") ;;
    *) paths+=("$p") ;;
  esac
done
without=()
for p in "${paths[@]}"; do [ "$p" = "$crypto" ] || without+=("$p"); done

link() {  # name, libraries...
  local name=$1
  shift
  cc -O2 -o "$tmp/$name" "$tmp/empty.c" -Wl,--no-as-needed "$@"
}
link all-libraries "${paths[@]}"
link without-libcrypto "${without[@]}"
[ -n "$crypto" ] && link libcrypto-only "$crypto"

python3 - "$tmp" "$runs" <<'PY'
import os, statistics, sys, time
tmp, runs = sys.argv[1], int(sys.argv[2])
names = [n for n in ("libc-only", "libcrypto-only", "without-libcrypto", "all-libraries")
         if os.path.exists(os.path.join(tmp, n))]
times = {n: [] for n in names}
for n in names:  # one untimed start each: the files are in the page cache
    p = os.path.join(tmp, n)
    os.waitpid(os.posix_spawn(p, [p], {}), 0)
for _ in range(runs):
    for n in names:
        p = os.path.join(tmp, n)
        t = time.perf_counter_ns()
        pid = os.posix_spawn(p, [p], {})
        os.waitpid(pid, 0)
        times[n].append((time.perf_counter_ns() - t) / 1e6)

def faults(p):
    # minor faults of one start, from the child's own resource usage
    pid = os.posix_spawn(p, [p], {})
    _, _, ru = os.wait4(pid, 0)
    return ru.ru_minflt

ref = statistics.median(times["libc-only"])
libs = {"libc-only": "libc", "libcrypto-only": "libc, libcrypto",
        "without-libcrypto": "the launcher's, minus libcrypto", "all-libraries": "the launcher's"}
print(f"empty programs, start to exit, median of {runs} (interleaved)")
print("| program | libraries | median (ms) | ratio to libc-only | minor faults |")
print("|---|---|---:|---:|---:|")
for n in names:
    m = statistics.median(times[n])
    print(f"| {n} | {libs[n]} | {m:.2f} | {m / ref:.2f} | {faults(os.path.join(tmp, n))} |")
PY
