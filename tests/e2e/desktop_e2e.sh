#!/usr/bin/env bash
# End-to-end on a real (virtual) display with a window manager: a new user's
# first day with the launcher, its GTK dialogs, its GApplication instance and
# the demo window shell, driven by the keyboard and the mouse.
#
#   desktop_e2e.sh --launcher BIN --service BIN --shell BIN --sign-tool BIN
#                  --identity DIR --system-apps DIR --artifacts DIR
#
#  a. A signed bundle started from a download folder writes no desktop entry
#     and shows "Install Quillmark?"; Return installs it into the
#     Applications folder and relaunches it from there; the first process
#     ends. The installed copy runs its window shell and writes a desktop
#     entry that desktop-file-validate accepts, pointing at itself, and its
#     icon.
#  b. With another window on top, a second launch of the installed app
#     reaches the running instance, which brings the shell's window to the
#     front; the entry's "Open" action does the same.
#  c. `gapplication action <id> quit` ends the launcher, the shell and the
#     service the shell started.
#  d. In browser mode, a second launch and the entry's "Open" run the
#     service's `open` (seen through a stand-in xdg-open), and "Quit" stops
#     the service the launcher owns.
#  e. A tampered bundle shows "Quillmark failed to start"; once the dialog is
#     dismissed, the launcher ends with status 0 (the orderly quit).
#
# Screenshots and the launchers' output are kept in the artifacts folder.
# Exits 77 (skipped) when Xvfb, dbus-run-session, xdotool, import, xprop,
# xmessage, openbox or desktop-file-validate is missing.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)

launcher="" service="" shell="" sign_tool="" identity="" system_apps="" artifacts=""
args=("$@")
while [ $# -gt 0 ]; do
  case "$1" in
    --launcher) launcher=$2; shift 2 ;;
    --service) service=$2; shift 2 ;;
    --shell) shell=$2; shift 2 ;;
    --sign-tool) sign_tool=$2; shift 2 ;;
    --identity) identity=$2; shift 2 ;;
    --system-apps) system_apps=$2; shift 2 ;;
    --artifacts) artifacts=$2; shift 2 ;;
    *) echo "desktop_e2e: unknown argument $1" >&2; exit 2 ;;
  esac
done
for v in launcher service shell sign_tool identity system_apps artifacts; do
  [ -n "${!v}" ] || { echo "desktop_e2e: --${v//_/-} is required" >&2; exit 2; }
done

for tool in xdotool:xdotool import:imagemagick xprop:x11-utils xmessage:x11-utils openbox:openbox \
            desktop-file-validate:desktop-file-utils gapplication:libglib2.0-bin; do
  command -v "${tool%%:*}" >/dev/null 2>&1 \
    || { echo "SKIP: ${tool%%:*} is not installed (apt-get install ${tool##*:})" >&2; exit 77; }
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
rm -f "$artifacts"/*.png "$artifacts"/*.log "$artifacts"/*.out "$artifacts"/*.desktop
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
wm="" cover=""
cleanup() {
  local p
  for p in $(our_pids); do kill -TERM "$p" 2>/dev/null; done
  sleep 0.5
  for p in $(our_pids); do kill -KILL "$p" 2>/dev/null; done
  [ -n "$cover" ] && kill "$cover" 2>/dev/null
  [ -n "$wm" ] && kill "$wm" 2>/dev/null
  cp -f "$HOME/.quillmark/logs/app.log" "$artifacts/last-app.log" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=e2e_lib.sh
. "$here/e2e_lib.sh"
active_window() { xdotool getactivewindow 2>/dev/null; }
is_active() { [ "$(active_window)" = "$1" ]; }
# The managed windows from bottom to top, in decimal.
stacking() {
  xprop -root _NET_CLIENT_LIST_STACKING 2>/dev/null | sed 's/^[^#]*#//' | tr ',' '\n' \
    | while read -r id; do [ -n "$id" ] && printf '%d\n' "$id"; done
}
# Whether window $1 is stacked above window $2.
above() {
  local order a b
  order=$(stacking)
  a=$(grep -nx "$1" <<<"$order" | cut -d: -f1)
  b=$(grep -nx "$2" <<<"$order" | cut -d: -f1)
  [ -n "$a" ] && [ -n "$b" ] && [ "$a" -gt "$b" ]
}
# Conditions for wait_until: re-evaluated on every try.
opened_more_than() { [ "$(lines "$opened")" -gt "$1" ]; }
is_running() { [ -n "$(pids_running "$1")" ]; }
none_of_ours() { [ -z "$(our_pids)" ]; }
# Puts a plain window over the middle of the screen and gives it the focus,
# as another application the user switched to would be.
cover_screen() {
  [ -n "$cover" ] && kill "$cover" 2>/dev/null
  xmessage -geometry 900x700+60+30 -title "Another application" \
    "Another application, in front of Quillmark" >/dev/null 2>&1 &
  cover=$!
  local w
  w=$(wait_window '^Another application$' 20) || { fail "the covering window did not appear"; return 1; }
  xdotool windowactivate --sync "$w" >/dev/null 2>&1
  wait_until 10 is_active "$w" || { fail "the covering window did not take the focus"; return 1; }
  cover_window=$w
}

# ---- the sandbox ---------------------------------------------------------

export HOME="$work/home"
unset XDG_DATA_HOME ZORVAN_NO_WINDOW ZORVAN_SKIP_INSTALL QL_ALERT_ANSWERS DESKTOP_STARTUP_ID
mkdir -p "$HOME/Downloads" "$work/bin"
# The service opens the browser with xdg-open: record instead.
opened="$work/opened"
printf '#!/bin/sh\necho "$*" >> "%s"\n' "$opened" >"$work/bin/xdg-open"
chmod +x "$work/bin/xdg-open"
export PATH="$work/bin:$PATH"

# A small EWMH window manager, as on a desktop: focus, stacking and the
# activation requests go through it.
openbox --sm-disable >"$artifacts/openbox.out" 2>&1 &
wm=$!
wm_ready() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
wait_until 20 wm_ready || { echo "desktop_e2e: openbox did not start" >&2; cat "$artifacts/openbox.out" >&2; exit 1; }

# An identifier of this run's own: the install flow looks for running copies
# by identifier across the whole machine, and another test's launcher must
# not answer for ours ("Quillmark is already running").
app_id="com.talvoria.zorvan.e2e.p$$"
download="$HOME/Downloads/Quillmark.app"
"$repo/scripts/make-bundle" --out "$download" --version 1.4.2 --launcher "$launcher" --service "$service" \
  --shell "$shell" --identifier "$app_id" --sign-tool "$sign_tool" --identity "$identity" \
  >"$artifacts/make-bundle.out" 2>&1 \
  || { echo "desktop_e2e: make-bundle failed" >&2; cat "$artifacts/make-bundle.out" >&2; exit 1; }

if [ -w "$system_apps" ]; then target="$system_apps"; else target="$HOME/Applications"; fi
installed="$target/Quillmark.app"
installed_exe="$installed/Contents/MacOS/Quillmark"
shell_exe="$installed/Contents/Helpers/Quillmark Shell.app/Contents/MacOS/Quillmark Shell"
log="$HOME/.quillmark/logs/app.log"
entry="$HOME/.local/share/applications/$app_id.desktop"
icon="$HOME/.local/share/icons/hicolor/scalable/apps/$app_id.svg"

# ---- a. install prompt, Return installs, the installed copy runs ---------

step "a. first launch from $download"
"$download/Contents/MacOS/Quillmark" >"$artifacts/first-launch.out" 2>&1 &
first=$!
running="" shell_window=""
if win=$(wait_window "$alert_title" 60); then
  sleep 0.5  # let it draw
  shot install-prompt
  # The download is not installed: no entry may point at it, before the
  # prompt or after it.
  [ ! -e "$entry" ] || fail "the download copy wrote a desktop entry: $(grep '^Exec=' "$entry")"
  # The prompt has the focus by itself, so Return answers it.
  wait_until 10 is_active "$win" || fail "the install prompt did not get the keyboard focus"
  xdotool key --clearmodifiers Return
  wait_until 10 window_gone "$alert_title" || fail "the install prompt stayed after Return"
  status_within "$first" 60
  rc=$?
  [ "$rc" -eq 0 ] || fail "the first launcher ended with status $rc (255: still running)"
  [ -x "$installed_exe" ] || fail "nothing installed at $installed"
  wait_until 30 is_running "$installed_exe" || fail "the installed copy is not running"
  running=$(pids_running "$installed_exe" | head -n 1)
  wait_until 30 grep -qF "] launch $installed" "$log" || fail "the installed copy's log has no launch line"
  wait_until 30 is_running "$shell_exe" || fail "the installed copy did not start its window shell"
  shell_pid=$(pids_running "$shell_exe" | head -n 1)
  if shell_window=$(wait_window '^Quillmark Shell$' 30); then
    sleep 0.5
    shot shell-running
  else
    fail "the shell's window did not appear"
  fi

  step "a. the installed copy's desktop entry and icon"
  wait_until 10 test -f "$entry" || fail "no desktop entry at $entry"
  cp -f "$entry" "$artifacts/desktop-entry.desktop" 2>/dev/null
  grep -qxF "Exec=\"$installed_exe\"" "$entry" 2>/dev/null || fail "the entry does not point at $installed_exe"
  grep -qxF "TryExec=$installed_exe" "$entry" 2>/dev/null || fail "the entry's TryExec is not $installed_exe"
  if ! desktop-file-validate "$entry" >"$artifacts/desktop-file-validate.out" 2>&1; then
    fail "desktop-file-validate rejects the entry: $(cat "$artifacts/desktop-file-validate.out")"
  fi
  grep -qxF "Icon=$app_id" "$entry" || fail "the entry's icon is not $app_id"
  cmp -s "$icon" "$repo/data/quillmark.svg" || fail "no icon, or not the shipped one, at $icon"
  [ -n "$(ls -A "$download" 2>/dev/null)" ] || fail "the downloaded bundle was removed"
else
  shot no-install-prompt
  fail "no \"Install Quillmark?\" dialog appeared"
fi

# ---- b. a second launch brings the shell to the front -------------------------

if [ -n "$running" ] && [ -n "$shell_window" ]; then
  step "b. second launch of $installed_exe (running: pid $running, shell window $shell_window)"
  cover_screen && {
    above "$cover_window" "$shell_window" || fail "the covering window is not above the shell"
    shot shell-covered
    start=$SECONDS
    timeout 30 "$installed_exe" >"$artifacts/second-launch.out" 2>&1
    rc=$?
    [ "$rc" -eq 0 ] || fail "the second launch ended with status $rc"
    [ $((SECONDS - start)) -le 10 ] || fail "the second launch took $((SECONDS - start)) s"
    if wait_until 10 is_active "$shell_window"; then
      sleep 0.5
      shot shell-to-front
      above "$shell_window" "$cover_window" || fail "the shell has the focus but is not above the other window"
    else
      fail "the second launch did not bring the shell to the front (active: $(active_window))"
    fi
    [ "$(pids_running "$installed_exe")" = "$running" ] \
      || fail "not exactly the one running launcher: $(pids_running "$installed_exe" | tr '\n' ' ')"
  }

  step "b. the entry's \"Open Quillmark\" brings it forward too"
  cover_screen && {
    timeout 30 "$installed_exe" --action=open >>"$artifacts/second-launch.out" 2>&1 || fail "--action=open failed"
    wait_until 10 is_active "$shell_window" || fail "\"Open Quillmark\" did not bring the shell to the front"
  }
  [ -n "$cover" ] && kill "$cover" 2>/dev/null
  cover=""

  # ---- c. quit from the desktop stops everything ---------------------------------

  step "c. gapplication action $app_id quit"
  service_pids=$(pids_running "$installed/Contents/Resources/bin/quillmark" | tr '\n' ' ')
  gapplication action "$app_id" quit >"$artifacts/gapplication.out" 2>&1 || fail "gapplication action quit failed"
  wait_until 40 exited "$running" || fail "\"Quit Quillmark\" did not end the running launcher"
  wait_until 20 exited "$shell_pid" || fail "the shell (pid $shell_pid) outlived the quit"
  for p in $service_pids; do
    wait_until 20 exited "$p" || fail "the shell's service (pid $p) outlived the quit"
  done
  wait_until 20 none_of_ours || fail "processes left after the quit: $(our_pids | tr '\n' ' ')"
  wait_until 10 window_gone '^Quillmark Shell$' || fail "the shell's window stayed after the quit"
  cp -f "$log" "$artifacts/installed-app.log" 2>/dev/null
fi

# ---- d. browser mode: reopen and the entry's actions run the service -----------

if [ -x "$installed_exe" ]; then
  step "d. the installed copy in browser mode"
  rm -f "$opened"
  ZORVAN_NO_WINDOW=1 "$installed_exe" >"$artifacts/browser-mode.out" 2>&1 &
  browser=$!
  wait_until 30 test -f "$HOME/.quillmark/zorvan.lock" || fail "the service did not start in browser mode"
  before=$(lines "$opened")
  timeout 30 "$installed_exe" >>"$artifacts/browser-mode.out" 2>&1 || fail "the second launch failed"
  wait_until 20 opened_more_than "$before" || fail "the running instance did not reopen (no open)"
  before=$(lines "$opened")
  timeout 30 "$installed_exe" --action=open >>"$artifacts/browser-mode.out" 2>&1 || fail "--action=open failed"
  wait_until 20 opened_more_than "$before" || fail "\"Open Quillmark\" did not reach the running instance"
  timeout 30 "$installed_exe" --action=quit >>"$artifacts/browser-mode.out" 2>&1 || fail "--action=quit failed"
  status_within "$browser" 40
  rc=$?
  [ "$rc" -eq 0 ] || fail "after \"Quit Quillmark\" the launcher ended with status $rc (255: still running)"
  # It owned the service it started: the quit path stops it.
  wait_until 20 test ! -f "$HOME/.quillmark/zorvan.lock" || fail "the service was not stopped on quit"
fi

# ---- e. tampered bundle ------------------------------------------------------

step "e. a tampered bundle"
tampered="$work/tampered/Quillmark.app"
mkdir -p "$work/tampered"
cp -a "$download" "$tampered"
printf 'tampered' >>"$tampered/Contents/Resources/bin/quillmark"
ZORVAN_SKIP_INSTALL=1 "$tampered/Contents/MacOS/Quillmark" >"$artifacts/tampered-launch.out" 2>&1 &
bad=$!
if win=$(wait_window "$alert_title" 60); then
  sleep 0.5
  shot failed-to-start
  sleep 1
  exited "$bad" && fail "the launcher ended before its failure was dismissed"
  wait_until 10 is_active "$win" || fail "the failure dialog did not get the keyboard focus"
  xdotool key --clearmodifiers Return  # its single "OK"
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
