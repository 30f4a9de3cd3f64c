#!/bin/sh
# The install from a download folder with the real launcher, headless, the
# prompt answered "Install" through QL_ALERT_ANSWERS:
#
#  system  a launcher built with its system Applications folder inside the
#          build tree: the signed bundle lands there as Quillmark.app, is
#          assessed by ql-spctl, loses its quarantine attribute through
#          ql-xattr, the new instance starts from there and the first quits.
#  user    the shipped launcher, whose system folder (/Applications) does not
#          exist here: the install goes to ~/Applications, with no
#          quarantine step.
#
# usage: install_e2e.sh LAUNCHER_WITH_TEST_FOLDER LAUNCHER CODESIGN IDENTITY_DIR
#                       TEST_SYSTEM_APPLICATIONS SPCTL
set -eu

test_launcher=$1 launcher=$2 codesign=$3 identity=$4 spctl=$6
system_apps=$(realpath -m "$5")
work=$(mktemp -d "${TMPDIR:-/tmp}/ql-install-e2e-XXXXXX")
mark=user.com.apple.quarantine

# Instances this test started from an installed bundle, found by executable.
stop_installed() {
  for exe in "$system_apps/Quillmark.app/Contents/MacOS/Quillmark" "$work"/*/home/Applications/Quillmark.app/Contents/MacOS/Quillmark; do
    for p in /proc/[0-9]*; do
      [ "$(readlink "$p/exe" 2>/dev/null)" = "$exe" ] && kill -9 "${p#/proc/}" 2>/dev/null
    done
  done
  return 0
}
trap 'stop_installed; rm -rf "$work" "$system_apps"' EXIT

fail() {
  echo "FAIL: $*" >&2
  for f in "$work"/*/first.err "$work"/*/home/.quillmark/logs/app.log; do
    [ -f "$f" ] && { echo "--- $f" >&2; cat "$f" >&2; }
  done
  exit 1
}

command -v setfattr >/dev/null && command -v getfattr >/dev/null || fail "setfattr/getfattr (package attr) needed"

# make_download DIR LAUNCHER: a signed Quillmark.app in DIR/home/Downloads,
# every entry carrying the quarantine attribute as a browser would leave it.
# Its identifier is this run's own, so a copy of Quillmark that something
# else runs on this machine is not "already running" for it.
make_download() {
  identifier="com.talvoria.zorvan.e2e-$$-$(basename "$1")"
  app="$1/home/Downloads/Quillmark.app"
  mkdir -p "$app/Contents/MacOS" "$app/Contents/Resources/bin"
  cp "$2" "$app/Contents/MacOS/Quillmark"
  # The service: records that it was started and exits, so the relaunched
  # launcher ends by itself.
  cat > "$app/Contents/Resources/bin/quillmark" <<'SH'
#!/bin/sh
echo "$@" >> "$HOME/service-calls"
exit 0
SH
  chmod 755 "$app/Contents/Resources/bin/quillmark"
  cat > "$app/Contents/Info.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>$identifier</string>
<key>CFBundleExecutable</key><string>Quillmark</string>
<key>CFBundleVersion</key><string>1.0.0</string>
</dict></plist>
PLIST
  "$codesign" sign --identity "$identity" "$app" >/dev/null || fail "signing $app"
  find "$app" ! -type l -exec setfattr -n "$mark" -v "0081;65f0a1b2;Firefox;" {} + || fail "setting $mark"
}

# run_first DIR LAUNCHER_BUNDLE: the downloaded copy, with "Install" chosen.
run_first() {
  env -i HOME="$1/home" PATH=/usr/bin:/bin QL_ALERT_ANSWERS=1000 ZORVAN_NO_WINDOW=1 \
    ${ASAN_OPTIONS:+ASAN_OPTIONS="$ASAN_OPTIONS"} ${UBSAN_OPTIONS:+UBSAN_OPTIONS="$UBSAN_OPTIONS"} \
    timeout 120 "$1/home/Downloads/Quillmark.app/Contents/MacOS/Quillmark" </dev/null \
    >"$1/first.out" 2>"$1/first.err"
}

marked_entries() { getfattr -R -h -n "$mark" --absolute-names "$1" 2>/dev/null | grep -c '^# file:' || true; }

# wait_for_log DIR TEXT: the relaunched copy writes its launch line.
wait_for_log() {
  i=0
  while [ $i -lt 600 ]; do
    grep -qF "$2" "$1/home/.quillmark/logs/app.log" 2>/dev/null && return 0
    sleep 0.1
    i=$((i + 1))
  done
  return 1
}

check_install() {  # check_install DIR FOLDER
  dir=$1 folder=$2
  dest="$folder/Quillmark.app"
  src="$dir/home/Downloads/Quillmark.app"
  grep -qF "[alert] Install Quillmark?" "$dir/first.err" || fail "no install prompt"
  grep -qF "answered 1000" "$dir/first.err" || fail "the prompt was not answered"
  grep -qF "install: spctl ok — $folder/.Quillmark.install." "$dir/first.err" || fail "no assessment logged"
  [ -d "$dest" ] || fail "$dest missing"
  cmp -s "$src/Contents/MacOS/Quillmark" "$dest/Contents/MacOS/Quillmark" || fail "installed executable differs"
  leftovers=$(ls -A "$folder" | grep -v '^Quillmark\.app$' || true)
  [ -z "$leftovers" ] || fail "left in $folder: $leftovers"
  "$spctl" -a -t exec -vv "$dest" 2>/dev/null || fail "the installed bundle does not pass assessment"
  wait_for_log "$dir" "] launch $dest" || fail "no instance started from $dest"
  if grep -qF "install:" "$dir/home/.quillmark/logs/app.log"; then fail "the relaunched copy was offered the install"; fi
}

# ---- system: into the build tree's Applications folder ---------------------
rm -rf "$system_apps"
mkdir -p "$system_apps"
d="$work/system"
make_download "$d" "$test_launcher"
run_first "$d" || fail "first instance exited $?"
check_install "$d" "$system_apps"
[ "$(marked_entries "$system_apps/Quillmark.app")" = 0 ] || fail "quarantine attribute left on the installed bundle"
[ "$(marked_entries "$d/home/Downloads/Quillmark.app")" != 0 ] || fail "the download lost its attribute"
echo "system folder: installed, assessed, unquarantined, relaunched"
# The relaunched copy would otherwise be "already running" for the next run.
stop_installed

# ---- user: the shipped launcher, ~/Applications -----------------------------
if [ -e /Applications ]; then
  echo "user folder: skipped, /Applications exists on this machine"
else
  d="$work/user"
  make_download "$d" "$launcher"
  run_first "$d" || fail "first instance exited $?"
  check_install "$d" "$d/home/Applications"
  [ ! -e /Applications ] || fail "/Applications was created"
  echo "user folder: installed, assessed, relaunched"
fi
