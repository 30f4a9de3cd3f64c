#!/usr/bin/env bash
# Counts the launcher's own context switches while it supervises an idle
# demo shell: the launcher should not wake at all when nothing happens.
#
#   bench/idle_wakeups.sh [BUILD_DIR] [SECONDS]
#
# BUILD_DIR (default build/release) must hold bin/quillmark-launcher,
# bin/quillmark-demo-service, bin/quillmark-demo-shell, bin/ql-codesign and
# the dev-identity the launcher was built to trust. A signed bundle is laid
# out in a temporary sandbox with its own HOME; the launcher starts the shell
# (which starts the service), settles, and then every thread's voluntary and
# involuntary context switches (/proc/<pid>/task/*/status) are summed at the
# start and the end of the window (10 s by default).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/release}
window=${2:-10}
bin=$build/bin
for p in quillmark-launcher quillmark-demo-service quillmark-demo-shell ql-codesign; do
  [ -x "$bin/$p" ] || { echo "idle_wakeups: $bin/$p is missing; build it first" >&2; exit 2; }
done

sandbox=$(mktemp -d "${TMPDIR:-/tmp}/ql-idle-XXXXXX")
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  # The shell stops its service on SIGTERM; make sure nothing is left.
  HOME="$sandbox/home" "$sandbox/Quillmark.app/Contents/Resources/bin/quillmark" stop >/dev/null 2>&1 || true
  rm -rf "$sandbox"
}
trap cleanup EXIT

scripts/make-bundle --out "$sandbox/Quillmark.app" --version 1.0.0 \
  --launcher "$bin/quillmark-launcher" --service "$bin/quillmark-demo-service" \
  --shell "$bin/quillmark-demo-shell" --sign-tool "$bin/ql-codesign" --identity "$build/dev-identity"

mkdir -p "$sandbox/home"
export HOME="$sandbox/home"
unset QUILLMARK_DEMO_SHELL_EXIT ZORVAN_NO_WINDOW DISPLAY WAYLAND_DISPLAY
ZORVAN_SKIP_INSTALL=1 "$sandbox/Quillmark.app/Contents/MacOS/Quillmark" 2>"$sandbox/launcher.stderr" &
pid=$!

log="$HOME/.quillmark/logs/app.log"
for _ in $(seq 1 100); do
  grep -q "quillmark-demo-service: serving" "$log" 2>/dev/null && break
  sleep 0.1
done
if ! grep -q "shell: launched" "$log" 2>/dev/null; then
  echo "idle_wakeups: the launcher did not start the shell" >&2
  cat "$log" "$sandbox/launcher.stderr" >&2 2>/dev/null || true
  exit 1
fi
sleep 1  # let start-up's last work finish

# tid name switches, one line per thread
snapshot() {
  for t in /proc/"$pid"/task/*; do
    local tid=${t##*/} name v n
    name=$(cat "$t/comm" 2>/dev/null) || continue
    v=$(awk '/^voluntary_ctxt_switches/ {print $2}' "$t/status" 2>/dev/null) || continue
    n=$(awk '/^nonvoluntary_ctxt_switches/ {print $2}' "$t/status" 2>/dev/null) || continue
    echo "$tid $name $((v + n))"
  done
}

before=$(snapshot)
sleep "$window"
after=$(snapshot)

echo "launcher pid $pid, window ${window}s"
awk -v before="$before" -v w="$window" '
  BEGIN { n = split(before, lines, "\n"); for (i = 1; i <= n; i++) { split(lines[i], f, " "); base[f[1]] = f[3] } }
  { d = $3 - ($1 in base ? base[$1] : 0); printf "  thread %-8s %-16s %d\n", $1, $2, d; sum += d }
  END { printf "context switches: %d in %ss (%.2f per second)\n", sum, w, sum / w }' <<<"$after"
