#!/usr/bin/env bash
# Runs a command on a private desktop: an Xvfb server on a free display and a
# private D-Bus session bus, both gone when the command ends.
#
#   tests/e2e/with-desktop-session.sh COMMAND [ARG...]
#
# Exits 77 (the CTest skip code) when Xvfb or dbus-run-session is missing, so
# a machine without them reports the test as skipped, never as passed.
set -uo pipefail

for tool in Xvfb dbus-run-session; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool is not installed (apt-get install xvfb dbus)" >&2
    exit 77
  fi
done

# Xvfb picks a free display itself and writes its number to fd 3, so
# parallel tests never race for one.
numfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$numfile" >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; rm -f "$numfile"' EXIT
display=""
for _ in $(seq 1 200); do
  display=$(tr -dc '0-9' <"$numfile")
  [ -n "$display" ] && break
  kill -0 "$xvfb" 2>/dev/null || { echo "with-desktop-session: Xvfb did not start" >&2; exit 1; }
  sleep 0.05
done
[ -n "$display" ] || { echo "with-desktop-session: Xvfb gave no display" >&2; exit 1; }

export DISPLAY=":$display"
unset WAYLAND_DISPLAY
# No accessibility bus: nothing listens on this private desktop.
export NO_AT_BRIDGE=1
dbus-run-session -- "$@"
