#!/bin/sh
# The real launcher on a sandbox home that holds only a populated ~/.zorvan:
# the first start adopts it (~/.quillmark real, with the migration marker;
# ~/.zorvan a link to it), a second start changes nothing and writes no
# migration notice.
#
# usage: migration_e2e.sh <path to the built quillmark-launcher>
set -eu

launcher=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/ql-e2e-XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*" >&2
  for f in "$work"/run*.err; do
    [ -f "$f" ] && { echo "--- $f" >&2; cat "$f" >&2; }
  done
  exit 1
}

# A hand-made bundle around a copy of the launcher.
app="$work/X/Quillmark.app"
mkdir -p "$app/Contents/MacOS" "$app/Contents/Resources/bin"
cp "$launcher" "$app/Contents/MacOS/Quillmark"
printf '#!/bin/sh\nexit 0\n' > "$app/Contents/Resources/bin/quillmark"
chmod 755 "$app/Contents/Resources/bin/quillmark"
cat > "$app/Contents/Info.plist" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key><string>com.talvoria.quillmark</string>
  <key>CFBundleVersion</key><string>7.3.1</string>
</dict>
</plist>
EOF

home="$work/home"
mkdir -p "$home/.zorvan"
printf 'secret' > "$home/.zorvan/encryption.key"
printf 'port = 1\n' > "$home/.zorvan/config.toml"

start() {
  # Headless: no display, so any alert answers as dismissed and the
  # launcher quits by itself.
  env -i HOME="$home" PATH=/usr/bin:/bin ZORVAN_SKIP_INSTALL=1 \
    timeout 60 "$app/Contents/MacOS/Quillmark" </dev/null >"$work/$1.out" 2>"$work/$1.err" || true
}

# What the migration is about, links not followed.
layout() {
  for p in "$home"/.* "$home"/*; do
    case "$p" in */.|*/..|*'/*'|*'/.*') continue ;; esac
    if [ -L "$p" ]; then
      echo "$(basename "$p") link $(readlink "$p")"
    elif [ -d "$p" ]; then
      echo "$(basename "$p") dir"
    else
      echo "$(basename "$p") other"
    fi
  done
  cat "$home/.quillmark/.data-dir-migrated" 2>/dev/null || echo "no marker"
}

start run1
[ -d "$home/.quillmark" ] && [ ! -L "$home/.quillmark" ] || fail "~/.quillmark is not a real directory"
[ -L "$home/.zorvan" ] || fail "~/.zorvan is not a link"
[ "$(readlink "$home/.zorvan")" = "$home/.quillmark" ] || fail "~/.zorvan links to $(readlink "$home/.zorvan")"
[ -f "$home/.quillmark/encryption.key" ] || fail "the key did not move with the directory"
marker="$home/.quillmark/.data-dir-migrated"
[ -f "$marker" ] || fail "no migration marker"
grep -q "\"from\": \"$home/.zorvan\"" "$marker" || fail "marker 'from' wrong: $(cat "$marker")"
grep -q '"from_version": "launcher-7.3.1"' "$marker" || fail "marker version wrong: $(cat "$marker")"
grep -Eq '"at": "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z"' "$marker" || fail "marker time wrong"
if grep -q '^\[quillmark\] \(quarantined\|WARNING: both\|SECURITY WARNING: .* pre-upgrade plant\)' "$work/run1.err"; then
  fail "first start wrote a migration notice"
fi

before=$(layout)
start run2
after=$(layout)
[ "$before" = "$after" ] || fail "second start changed the layout:
$before
---
$after"
if grep -q '^\[quillmark\] \(quarantined\|WARNING: both\|SECURITY WARNING: .* pre-upgrade plant\)' "$work/run2.err"; then
  fail "second start wrote a migration notice"
fi
if grep -q '^\[quillmark\] \(quarantined\|WARNING: both\|SECURITY WARNING: .* pre-upgrade plant\)' \
     "$home/.quillmark/logs/app.log" 2>/dev/null; then
  fail "second start's log holds a migration notice"
fi
echo "ok: adopted ~/.zorvan, second start left it alone"
echo "$after"
