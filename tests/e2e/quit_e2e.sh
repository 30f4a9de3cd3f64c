#!/usr/bin/env bash
# A quit that arrives while one of the launcher's GTK dialogs is up, on a
# real (virtual) display: the request is kept while the dialog waits, and
# once it is dismissed (Escape, or a click) the launcher ends through its
# quit path with nothing started. A reopen that arrives then is kept and
# honoured after the dialog.
#
#   quit_e2e.sh --launcher BIN --service BIN --sign-tool BIN --identity DIR
#               --system-apps DIR --artifacts DIR
#
#  a. "Install Quillmark?" x SIGTERM, SIGINT, SIGHUP, the quit action
#     (a second launch with --action=quit), each ended with Escape; and
#     SIGTERM followed by a click on "Install": nothing installed.
#  b. "Install Quillmark?" x a reopen (a second launch of the same bundle),
#     then Escape: the service starts and the reopen runs its `open`.
#  c. "Couldn't install to …" x SIGTERM, SIGINT, SIGHUP and the quit
#     action: the start-up that would follow the failed install does not
#     run (needs the system folder unwritable, or a private mount namespace
#     to make it so; skipped otherwise).
#  d. "Quillmark failed to start" x the same four: the launcher waits for
#     the dialog, then ends with status 0.
#
# "Nothing started" is checked as: no service process, no lock file, no
# seeded service binary, no installed copy; "through the quit path" as: exit
# status 0 once the dialog is gone and not before, and the start-up's
# "quit requested" line on standard error.
# Exits 77 (skipped) when Xvfb, dbus-run-session or xdotool is missing.
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
    *) echo "quit_e2e: unknown argument $1" >&2; exit 2 ;;
  esac
done
for v in launcher service sign_tool identity system_apps artifacts; do
  [ -n "${!v}" ] || { echo "quit_e2e: --${v//_/-} is required" >&2; exit 2; }
done
command -v xdotool >/dev/null 2>&1 || { echo "SKIP: xdotool is not installed" >&2; exit 77; }

# Never install into the machine's own Applications folder: a private,
# empty one in a mount namespace of our own (which also lets part c make
# it read-only). A process namespace as well where we may: the install
# flow's running-copy check looks at every process, and another launcher
# running on the machine would answer every case with "already running".
if [ -z "${QL_QUIT_E2E_NS:-}" ]; then
  if [ -w "$system_apps" ] || [ "$(id -u)" = 0 ]; then
    ns=(--mount --propagation private)
    unshare --pid --fork --mount-proc "${ns[@]}" true 2>/dev/null && ns=(--pid --fork --mount-proc "${ns[@]}")
    if unshare "${ns[@]}" true 2>/dev/null; then
      private=$(mktemp -d)
      exec unshare "${ns[@]}" env QL_QUIT_E2E_NS="$private" bash -c '
        if [ -d "$1" ]; then
          mount --bind "$QL_QUIT_E2E_NS" "$1" || { echo "SKIP: cannot mount over $1" >&2; exit 77; }
        fi
        shift; exec "$@"' _ "$system_apps" "$0" "${args[@]}"
    fi
    [ -w "$system_apps" ] && { echo "SKIP: $system_apps is writable and no private mount namespace is available" >&2; exit 77; }
  fi
fi
if [ -z "${QL_QUIT_E2E_IN_SESSION:-}" ]; then
  QL_QUIT_E2E_IN_SESSION=1 exec "$here/with-desktop-session.sh" "$0" "${args[@]}"
fi

mkdir -p "$artifacts"
rm -f "$artifacts"/quit-*.out "$artifacts"/quit-*.png
work=$(mktemp -d)
failures=0 cases=0
step() { echo "== $*"; }
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
  command -v import >/dev/null 2>&1 && import -window root "$artifacts/quit-failure-$failures.png" 2>/dev/null
  cp -f "$HOME/.quillmark/logs/app.log" "$artifacts/quit-failure-$failures-app.log" 2>/dev/null
  [ -f "$opened" ] && cp -f "$opened" "$artifacts/quit-failure-$failures-opened" 2>/dev/null
}

our_pids() {
  local p exe
  for p in /proc/[0-9]*; do
    exe=$(readlink "$p/exe" 2>/dev/null) || continue
    case "$exe" in "$work"/*) echo "${p#/proc/}" ;; esac
  done
}
stop_ours() {
  local p
  for p in $(our_pids); do kill -TERM "$p" 2>/dev/null; done
  sleep 0.5
  for p in $(our_pids); do kill -KILL "$p" 2>/dev/null; done
}
cleanup() {
  stop_ours
  rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=e2e_lib.sh
. "$here/e2e_lib.sh"
press_escape() {  # the dialog has the keyboard once it has the input focus
  xdotool windowfocus --sync "$1" 2>/dev/null || xdotool windowfocus "$1"
  sleep 0.2
  xdotool key --clearmodifiers Escape
}
click_button() {  # INDEX of COUNT buttons across the dialog's bottom edge
  local win=$1 index=$2 count=$3 X Y WIDTH HEIGHT
  eval "$(xdotool getwindowgeometry --shell "$win" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
  xdotool mousemove $((X + WIDTH * (2 * index + 1) / (2 * count))) $((Y + HEIGHT - 16)) sleep 0.2 click 1
}
service_running() {  # a process running the seeded or the bundled service
  local p exe
  for p in /proc/[0-9]*; do
    exe=$(readlink "$p/exe" 2>/dev/null) || continue
    case "$exe" in "$HOME"/.quillmark/bin/*|*/Contents/Resources/bin/quillmark) return 0 ;; esac
  done
  return 1
}
reopen_ran() {  # more browser opens than $1, or the reopen's `open` in the log
  [ "$(lines "$opened")" -gt "$1" ] || grep -qF " open]: " "$HOME/.quillmark/logs/app.log" 2>/dev/null
}

export PATH="$work/bin:$PATH"
mkdir -p "$work/bin"
opened="$work/opened"
printf '#!/bin/sh\necho "$*" >> "%s"\n' "$opened" >"$work/bin/xdg-open"
chmod +x "$work/bin/xdg-open"
unset ZORVAN_NO_WINDOW ZORVAN_SKIP_INSTALL QL_ALERT_ANSWERS XDG_DATA_HOME

# One signed bundle (browser mode: no window shell), copied per case.
master="$work/master/Quillmark.app"
"$repo/scripts/make-bundle" --out "$master" --version 1.4.2 --launcher "$launcher" --service "$service" \
  --sign-tool "$sign_tool" --identity "$identity" >"$artifacts/quit-make-bundle.out" 2>&1 \
  || { echo "quit_e2e: make-bundle failed" >&2; cat "$artifacts/quit-make-bundle.out" >&2; exit 1; }

# A fresh home and a fresh copy of the bundle in its Downloads folder.
# Sets: HOME, bundle, exe.
fresh() {
  export HOME="$work/home-$1"
  rm -rf "$HOME"
  mkdir -p "$HOME/Downloads"
  bundle="$HOME/Downloads/Quillmark.app"
  cp -a "$master" "$bundle"
  exe="$bundle/Contents/MacOS/Quillmark"
  rm -rf "${system_apps:?}/Quillmark.app" "$system_apps"/.Quillmark.* 2>/dev/null
}

# Delivers one request to the launcher PID of bundle executable EXE.
deliver() {
  local how=$1 pid=$2
  case "$how" in
    TERM|INT|HUP) kill -"$how" "$pid" ;;
    quit-action) timeout 20 "$exe" --action=quit >>"$out" 2>&1 || fail "$label: the quit action's launch failed" ;;
    reopen) timeout 20 "$exe" >>"$out" 2>&1 || fail "$label: the reopen launch failed" ;;
  esac
}

# Common checks after a quit: exit 0 within 20 s, nothing started.
expect_quit_path() {
  local pid=$1
  status_within "$pid" 20
  local rc=$?
  [ "$rc" -eq 0 ] || fail "$label: the launcher ended with status $rc (255: still running)"
  sleep 0.3
  service_running && fail "$label: a service process is running"
  [ -e "$HOME/.quillmark/zorvan.lock" ] && fail "$label: the service's lock file exists"
  [ -e "$HOME/.quillmark/bin/quillmark" ] && fail "$label: the service binary was seeded"
  [ -e "$system_apps/Quillmark.app" ] && fail "$label: a copy was installed"
  ls -A "$system_apps" 2>/dev/null | grep -q '^\.Quillmark' && fail "$label: a staged copy was left"
  if [ "$said" = yes ]; then
    grep -qF "quit requested — " "$out" || fail "$label: no \"quit requested\" line on standard error"
  fi
}

# One case: launch, wait for the dialog TITLE, deliver HOW, check the
# launcher still waits, then END the dialog ("escape" or "click I N").
run_case() {
  local name=$1 title=$2 how=$3 end=$4
  said=${5:-yes}  # whether the start-up says it stopped for the quit
  label="$name x $how"
  cases=$((cases + 1))
  step "$label"
  out="$artifacts/quit-${name// /-}-$how.out"
  "$exe" >"$out" 2>&1 &
  local pid=$!
  local win prompt=none
  if [ -n "${install_first:-}" ]; then  # the alert comes after "Install" on the prompt
    if prompt=$(wait_window "$alert_title" 60); then
      sleep 0.5
      click_button "$prompt" 0 2
    else
      fail "$label: no install prompt"
    fi
  fi
  if ! win=$(wait_window "$title" 60 "$prompt"); then
    fail "$label: no \"$title\" dialog"
    kill -KILL "$pid" 2>/dev/null
    return
  fi
  sleep 0.5
  open_lines=$(lines "$opened")
  deliver "$how" "$pid"
  sleep 1
  exited "$pid" && fail "$label: the launcher ended while its dialog was still up"
  window_gone "$title" && fail "$label: the dialog went away by itself"
  case "$end" in
    escape) press_escape "$win" ;;
    click*) set -- $end; click_button "$win" "$2" "$3" ;;
  esac
  wait_until 10 window_gone "$title" || fail "$label: the dialog stayed after it was dismissed"
  if [ "$how" = reopen ]; then
    wait_until 30 test -e "$HOME/.quillmark/zorvan.lock" || fail "$label: the service did not start after the dialog"
    # The kept reopen runs the service's `open`, which opens the browser
    # (nothing else here does), or, when it ran before the service
    # answered, says so in the log; either way it was not lost.
    wait_until 20 reopen_ran "$open_lines" || fail "$label: the reopen was lost (no open, no open in the log)"
    kill -TERM "$pid"
    status_within "$pid" 40
    local rc=$?
    [ "$rc" -eq 0 ] || fail "$label: after SIGTERM the launcher ended with status $rc"
    wait_until 20 test ! -e "$HOME/.quillmark/zorvan.lock" || fail "$label: the service was not stopped on quit"
  else
    expect_quit_path "$pid"
  fi
  stop_ours
}

# ---- a, b: the install prompt ------------------------------------------------
for how in TERM INT HUP quit-action reopen; do
  fresh "prompt-$how"
  run_case "install prompt" "$alert_title" "$how" escape
done
fresh "prompt-install"
run_case "install prompt, then Install" "$alert_title" TERM "click 0 2"

# ---- c: "Couldn't install to" ------------------------------------------------
# The install goes to ~/Applications when the system folder is not writable
# (made read-only here inside our own mount namespace).
readonly_apps=""
if [ -n "${QL_QUIT_E2E_NS:-}" ] && mount -o remount,bind,ro "$system_apps" 2>/dev/null; then readonly_apps=1; fi
if [ -n "$readonly_apps" ] || [ ! -w "$system_apps" ]; then
  for how in TERM INT HUP quit-action; do
    fresh "copy-fails-$how"
    # /Applications read-only sends the install to ~/Applications, which is
    # a file here: the copy into it fails.
    printf 'not a folder' >"$HOME/Applications"
    install_first=1 run_case "couldn't install" "$alert_title" "$how" escape
  done
  if [ -n "$readonly_apps" ]; then
    mount -o remount,bind,rw "$system_apps" || fail "cannot make $system_apps writable again"
  fi
else
  echo "(part c skipped: $system_apps is writable and cannot be made read-only here)"
fi

# ---- d: the fatal alert ------------------------------------------------------
for how in TERM INT HUP quit-action; do
  fresh "fatal-$how"
  printf 'tampered' >>"$bundle/Contents/Resources/bin/quillmark"
  export ZORVAN_SKIP_INSTALL=1
  # The start-up had already ended in the failure: the alert's own quit
  # follows its dismissal, with nothing to say about the request.
  run_case "failed to start" "$alert_title" "$how" escape no
  unset ZORVAN_SKIP_INSTALL
done

echo
if [ "$failures" -eq 0 ]; then
  echo "quit_e2e: all $cases cases passed"
  exit 0
fi
echo "quit_e2e: $failures failure(s) in $cases cases; output in $artifacts" >&2
exit 1
