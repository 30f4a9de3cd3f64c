#!/usr/bin/env bash
# The launcher at rest: resident memory and wake-ups while it supervises an
# idle shell, next to the same figures of the shell it supervises.
#
#   bench/idle_sample.sh BUILD_DIR LARGE_BUNDLE WORK_DIR [RUNS] [WINDOW]
#
# Prints one line per measurement, "key value", for scripts/bench:
#   wakeups_run N           the launcher's context switches per second, all
#                           threads, from bench/idle_wakeups.sh (RUNS runs of
#                           WINDOW seconds, default 3 x 10 s); it lays out the
#                           demo bundle and supervises the demo shell + service
#   shell_wakeups_run N     the demo shell's own switches per second, sampled
#                           here over the same window
#   rss_small_kb N          the launcher's VmRSS during that window
#   shell_rss_kb N          the demo shell's VmRSS during that window
#   rss_large_kb N          the launcher's VmRSS after it validated LARGE_BUNDLE
#                           and spawned its shell (launch_stamp, held idle)
#   pss_small_kb, pss_large_kb N   the launcher's proportional set size at the
#                           same moments: shared library pages divided among
#                           the processes that map them
#   large_wakeups N         its switches per second over WINDOW seconds
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:?build dir}
large=${2:?large bundle}
work=${3:?work dir}
runs=${4:-3}
window=${5:-10}

# Sum of voluntary and involuntary context switches over a process's threads.
switches() {
  local sum=0 t v n
  for t in /proc/"$1"/task/*; do
    v=$(awk '/^voluntary_ctxt_switches/ {print $2}' "$t/status" 2>/dev/null) || continue
    n=$(awk '/^nonvoluntary_ctxt_switches/ {print $2}' "$t/status" 2>/dev/null) || continue
    sum=$((sum + ${v:-0} + ${n:-0}))
  done
  echo "$sum"
}
rss() { awk '/^VmRSS/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }
pss() { awk '/^Pss:/ {print $2}' "/proc/$1/smaps_rollup" 2>/dev/null || echo 0; }
# Sets lpid and spid to the launcher and the shell running from a bundle
# laid out by idle_wakeups.sh below the folder $1 (matched on their command
# lines: neither takes arguments).
find_pids() {
  lpid=$(pgrep -f "^$1/ql-idle-[^/]*/Quillmark[.]app/Contents/MacOS/Quillmark\$" | head -1 || true)
  spid=$(pgrep -f "^$1/ql-idle-[^/]*/Quillmark[.]app/Contents/Helpers/.*/Quillmark Shell\$" | head -1 || true)
}

for run in $(seq 1 "$runs"); do
  tmp="$work/idle-$run"
  mkdir -p "$tmp"
  TMPDIR="$tmp" bench/idle_wakeups.sh "$build" "$window" > "$tmp/out" 2>&1 &
  script=$!
  for _ in $(seq 1 200); do
    find_pids "$tmp"
    [ -n "$lpid" ] && [ -n "$spid" ] && break
    sleep 0.1
  done
  if [ -z "$lpid" ] || [ -z "$spid" ]; then
    wait "$script" || true
    echo "idle_sample: the launcher or its shell did not show up" >&2
    cat "$tmp/out" >&2
    exit 1
  fi
  sleep 2  # inside idle_wakeups.sh's settle time and window
  s0=$(switches "$spid")
  sleep $((window - 4))
  s1=$(switches "$spid")
  echo "rss_small_kb $(rss "$lpid")"
  echo "pss_small_kb $(pss "$lpid")"
  echo "shell_rss_kb $(rss "$spid")"
  awk -v a="$s0" -v b="$s1" -v w=$((window - 4)) 'BEGIN { printf "shell_wakeups_run %.2f\n", (b - a) / w }'
  wait "$script" || { cat "$tmp/out" >&2; exit 1; }
  awk '/^context switches:/ { gsub(/[()]/, ""); print "wakeups_run", $6 }' "$tmp/out"
done

# The realistic bundle: the launcher has hashed ~300 MB before it settles.
home="$work/idle-large-home"
mkdir -p "$home"
env -i HOME="$home" PATH=/usr/bin:/bin LANG=C.UTF-8 ZORVAN_SKIP_INSTALL=1 \
  QL_STAMP_FILE="$work/idle-large-stamp" QL_STAMP_HOLD=1 \
  "$large/Contents/MacOS/Quillmark" 2>/dev/null &
lpid=$!
for _ in $(seq 1 300); do [ -s "$work/idle-large-stamp" ] && break; sleep 0.1; done
sleep 1
a=$(switches "$lpid")
sleep "$window"
b=$(switches "$lpid")
echo "rss_large_kb $(rss "$lpid")"
echo "pss_large_kb $(pss "$lpid")"
awk -v a="$a" -v b="$b" -v w="$window" 'BEGIN { printf "large_wakeups %.2f\n", (b - a) / w }'
kill -TERM "$lpid" 2>/dev/null || true
wait "$lpid" 2>/dev/null || true
