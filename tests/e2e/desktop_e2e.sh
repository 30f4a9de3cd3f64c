#!/usr/bin/env bash
# End-to-end on a real (virtual) display: the launcher with its GTK dialogs
# and GApplication instance, driven by mouse clicks.
#
#   desktop_e2e.sh --launcher BIN --service BIN --sign-tool BIN --identity DIR
#                  --system-apps DIR --artifacts DIR
#
#  a. A signed bundle started from a download folder shows "Install
#     Quillmark?"; a click on "Install" installs it into the Applications
#     folder and relaunches it from there; the first process ends.
#  b. Launching the installed app again reaches the running instance (its
#     reopen runs the service's `open`, seen through a stand-in xdg-open),
#     and the second process ends; the desktop entry's "Open" and "Quit"
#     actions reach it too, and "Quit" ends it through its quit path.
#  c. A tampered bundle shows "Quillmark failed to start"; once the dialog is
#     dismissed, the launcher ends with status 0 (the orderly quit).
#
# Screenshots and the launchers' output are kept in the artifacts folder.
# Exits 77 (skipped) when Xvfb, dbus-run-session, xdotool or import is missing.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)

launcher="" service="" sign_tool="" identity="" system_apps="" artifacts=""
args=("$@")
while [ $# -gt 0 ]; do
  case "$1" in
    --launcher) launcher=$2; shift 2 ;;
    --service) service=$2; shift 2 ;;
    --sign-tool) sign_tool=$2; shift 2 ;;
    --identity) identity=$2; shift 2 ;;
    --system-apps) system_apps=$2; shift 2 ;;
    --artifacts) artifacts=$2; shift 2 ;;
    *) echo "desktop_e2e: unknown argument $1" >&2; exit 2 ;;
  esac
done
for v in launcher service sign_tool identity system_apps artifacts; do
  [ -n "${!v}" ] || { echo "desktop_e2e: --${v//_/-} is required" >&2; exit 2; }
done

for tool in xdotool import; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed (apt-get install xdotool imagemagick)" >&2; exit 77; }
done

# The install goes to the system Applications folder when it is writable.
# Never into the machine's own: give this test a private, empty one.
if [ -w "$system_apps" ] && [ -z "${QL_E2E_PRIVATE_APPS:-}" ]; then
  if ! unshare --mount --propagation private true 2>/dev/null; then
    echo "SKIP: $system_apps is writable and no private mount namespace is available" >&2
    exit 77
  fi
  private=$(mktemp -d)
  exec unshare --mount --propagation private env QL_E2E_PRIVATE_APPS="$private" bash -c '
    mount --bind "$QL_E2E_PRIVATE_APPS" "$1" || { echo "SKIP: cannot mount over $1" >&2; exit 77; }
    shift; exec "$@"' _ "$system_apps" "$0" "${args[@]}"
fi

# A private display and session bus, unless this already runs inside one.
if [ -z "${QL_E2E_IN_SESSION:-}" ]; then
  QL_E2E_IN_SESSION=1 exec "$here/with-desktop-session.sh" "$0" "${args[@]}"
fi

# ---- helpers -----------------------------------------------------------

mkdir -p "$artifacts"
rm -f "$artifacts"/*.png "$artifacts"/*.log "$artifacts"/*.out
work=$(mktemp -d)
failures=0
step() { echo "== $*"; }
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); shot "failure-$failures"; }
shot() { import -window root "$artifacts/$1.png" 2>/dev/null || echo "(screenshot $1 failed)" >&2; }

# Processes running an executable below $work: only what this test started.
our_pids() {
  local p exe
  for p in /proc/[0-9]*; do
    exe=$(readlink "$p/exe" 2>/dev/null) || continue
    case "$exe" in "$work"/*) echo "${p#/proc/}" ;; esac
  done
}
pids_running() {  # the processes whose executable is exactly $1
  local p exe
  for p in /proc/[0-9]*; do
    exe=$(readlink "$p/exe" 2>/dev/null) || continue
    [ "$exe" = "$1" ] && echo "${p#/proc/}"
  done
}
cleanup() {
  local p
  for p in $(our_pids); do kill -TERM "$p" 2>/dev/null; done
  sleep 0.5
  for p in $(our_pids); do kill -KILL "$p" 2>/dev/null; done
  cp -f "$HOME/.quillmark/logs/app.log" "$artifacts/last-app.log" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

wait_until() {  # seconds, command...: true once the command succeeds
  local deadline=$((SECONDS + $1)); shift
  while [ $SECONDS -lt "$deadline" ]; do "$@" && return 0; sleep 0.2; done
  "$@"
}
# The id of the visible window whose title matches the regular expression.
wait_window() {
  local deadline=$((SECONDS + $2)) w
  while [ $SECONDS -lt "$deadline" ]; do
    w=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1)
    [ -n "$w" ] && { echo "$w"; return 0; }
    sleep 0.2
  done
  return 1
}
window_gone() { [ -z "$(xdotool search --onlyvisible --name "$1" 2>/dev/null)" ]; }
# Clicks button INDEX of COUNT in a message dialog: GTK lays its buttons out
# side by side across the dialog's bottom edge, in the order given.
click_button() {
  local win=$1 index=$2 count=$3 X Y WIDTH HEIGHT
  eval "$(xdotool getwindowgeometry --shell "$win" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
  local x=$((X + WIDTH * (2 * index + 1) / (2 * count))) y=$((Y + HEIGHT - 16))
  xdotool mousemove "$x" "$y" sleep 0.2 click 1
}
exited() { ! kill -0 "$1" 2>/dev/null; }
# Exit status of a background child once it has ended within $2 seconds.
status_within() {
  local pid=$1 deadline=$((SECONDS + $2))
  while [ $SECONDS -lt "$deadline" ]; do
    exited "$pid" && { wait "$pid"; return $?; }
    sleep 0.2
  done
  return 255
}
lines() { [ -f "$1" ] && wc -l <"$1" || echo 0; }
# Conditions for wait_until: re-evaluated on every try.
opened_more_than() { [ "$(lines "$opened")" -gt "$1" ]; }
is_running() { [ -n "$(pids_running "$1")" ]; }

# ---- the sandbox ---------------------------------------------------------

export HOME="$work/home"
unset XDG_DATA_HOME ZORVAN_NO_WINDOW ZORVAN_SKIP_INSTALL QL_ALERT_ANSWERS
mkdir -p "$HOME/Downloads" "$work/bin"
# The service opens the browser with xdg-open: record instead.
opened="$work/opened"
printf '#!/bin/sh\necho "$*" >> "%s"\n' "$opened" >"$work/bin/xdg-open"
chmod +x "$work/bin/xdg-open"
export PATH="$work/bin:$PATH"

# A bundle without a window shell: the launcher runs the service in browser
# mode, where a reopen runs the service's `open`, which is observable.
download="$HOME/Downloads/Quillmark.app"
"$repo/scripts/make-bundle" --out "$download" --version 1.4.2 --launcher "$launcher" --service "$service" \
  --sign-tool "$sign_tool" --identity "$identity" >"$artifacts/make-bundle.out" 2>&1 \
  || { echo "desktop_e2e: make-bundle failed" >&2; cat "$artifacts/make-bundle.out" >&2; exit 1; }

if [ -w "$system_apps" ]; then target="$system_apps"; else target="$HOME/Applications"; fi
installed="$target/Quillmark.app"
installed_exe="$installed/Contents/MacOS/Quillmark"
log="$HOME/.quillmark/logs/app.log"

# ---- a. install prompt, install, relaunch ---------------------------------

step "a. first launch from $download"
"$download/Contents/MacOS/Quillmark" >"$artifacts/first-launch.out" 2>&1 &
first=$!
if win=$(wait_window '^Install Quillmark\?$' 60); then
  sleep 0.5  # let it draw
  shot install-prompt
  click_button "$win" 0 2   # "Install"
  wait_until 10 window_gone '^Install Quillmark\?$' || fail "the install prompt stayed after the click"
  status_within "$first" 60
  rc=$?
  [ "$rc" -eq 0 ] || fail "the first launcher ended with status $rc (255: still running)"
  [ -x "$installed_exe" ] || fail "nothing installed at $installed"
  wait_until 30 is_running "$installed_exe" || fail "the installed copy is not running"
  running=$(pids_running "$installed_exe" | head -n 1)
  wait_until 30 grep -qF "] launch $installed" "$log" || fail "the installed copy's log has no launch line"
  wait_until 30 test -f "$HOME/.quillmark/zorvan.lock" || fail "the service did not start"
  entry="$HOME/.local/share/applications/com.talvoria.zorvan.desktop"
  grep -qF "Exec=\"$installed_exe\"" "$entry" 2>/dev/null || fail "no desktop entry for the installed copy at $entry"
  cp -f "$entry" "$artifacts/desktop-entry.desktop" 2>/dev/null
  [ -n "$(ls -A "$HOME/Downloads/Quillmark.app" 2>/dev/null)" ] || fail "the downloaded bundle was removed"
else
  shot no-install-prompt
  fail "no \"Install Quillmark?\" dialog appeared"
  running=""
fi

# ---- b. second launch, desktop actions -------------------------------------

if [ -n "$running" ]; then
  step "b. second launch of $installed_exe (running: pid $running)"
  before=$(lines "$opened")
  start=$SECONDS
  timeout 30 "$installed_exe" >"$artifacts/second-launch.out" 2>&1
  rc=$?
  [ "$rc" -eq 0 ] || fail "the second launch ended with status $rc"
  [ $((SECONDS - start)) -le 10 ] || fail "the second launch took $((SECONDS - start)) s"
  wait_until 20 opened_more_than "$before" || fail "the running instance did not reopen (no open)"
  [ "$(pids_running "$installed_exe")" = "$running" ] || fail "not exactly the one running launcher: $(pids_running "$installed_exe" | tr '\n' ' ')"

  step "b. desktop actions: Open, then Quit"
  before=$(lines "$opened")
  timeout 30 "$installed_exe" --action=open >>"$artifacts/second-launch.out" 2>&1 || fail "--action=open failed"
  wait_until 20 opened_more_than "$before" || fail "\"Open Quillmark\" did not reach the running instance"
  timeout 30 "$installed_exe" --action=quit >>"$artifacts/second-launch.out" 2>&1 || fail "--action=quit failed"
  wait_until 40 exited "$running" || fail "\"Quit Quillmark\" did not end the running launcher"
  # It owned the service it started: the quit path stops it.
  wait_until 20 test ! -f "$HOME/.quillmark/zorvan.lock" || fail "the service was not stopped on quit"
  cp -f "$log" "$artifacts/installed-app.log" 2>/dev/null
fi

# ---- c. tampered bundle ------------------------------------------------------

step "c. a tampered bundle"
tampered="$work/tampered/Quillmark.app"
mkdir -p "$work/tampered"
cp -a "$download" "$tampered"
printf 'tampered' >>"$tampered/Contents/Resources/bin/quillmark"
ZORVAN_SKIP_INSTALL=1 "$tampered/Contents/MacOS/Quillmark" >"$artifacts/tampered-launch.out" 2>&1 &
bad=$!
if win=$(wait_window '^Quillmark failed to start$' 60); then
  sleep 0.5
  shot failed-to-start
  sleep 1
  exited "$bad" && fail "the launcher ended before its failure was dismissed"
  click_button "$win" 0 1   # the single "OK"
  status_within "$bad" 30
  rc=$?
  [ "$rc" -eq 0 ] || fail "after the failure dialog the launcher ended with status $rc (255: still running)"
  cp -f "$log" "$artifacts/tampered-app.log" 2>/dev/null
else
  shot no-failure-dialog
  fail "no \"Quillmark failed to start\" dialog appeared"
fi

echo
if [ "$failures" -eq 0 ]; then
  echo "desktop_e2e: all passed; screenshots in $artifacts"
  exit 0
fi
echo "desktop_e2e: $failures failure(s); screenshots and output in $artifacts" >&2
exit 1
