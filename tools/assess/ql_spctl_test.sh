#!/bin/sh
# ql-spctl against bundles signed here: an intact Developer ID bundle passes;
# any change after signing, a missing signature or an anchor this build does
# not trust is rejected; misuse is a usage error.
#   ql_spctl_test.sh SPCTL CODESIGN IDENTITY_DIR
set -eu
SPCTL=$1 CODESIGN=$2 IDENTITY=$3
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
failures=0

make_bundle() {  # make_bundle DIR
  mkdir -p "$1/Contents/MacOS" "$1/Contents/Resources/bin"
  printf '#!/bin/sh\nexit 0\n' > "$1/Contents/MacOS/Quillmark"
  printf '#!/bin/sh\necho service\n' > "$1/Contents/Resources/bin/quillmark"
  chmod 755 "$1/Contents/MacOS/Quillmark" "$1/Contents/Resources/bin/quillmark"
  cat > "$1/Contents/Info.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>com.talvoria.zorvan</string>
<key>CFBundleExecutable</key><string>Quillmark</string>
<key>CFBundleVersion</key><string>1.0</string>
</dict></plist>
PLIST
}

signed_bundle() {  # signed_bundle DIR [IDENTITY]
  make_bundle "$1"
  "$CODESIGN" sign --identity "${2:-$IDENTITY}" "$1" >/dev/null
}

# expect STATUS FIRST_LINE ARGS...: exit status and first line of the assessment
expect() {
  want_status=$1 want_line=$2
  shift 2
  set +e
  out=$("$SPCTL" "$@" 2>&1)
  status=$?
  set -e
  line=$(printf '%s\n' "$out" | head -n 1)
  if [ "$status" != "$want_status" ] || { [ -n "$want_line" ] && [ "$line" != "$want_line" ]; }; then
    echo "FAIL: ql-spctl $*: status $status (want $want_status), first line '$line' (want '$want_line')"
    printf '%s\n' "$out" | sed 's/^/    /'
    failures=$((failures + 1))
  fi
}

B="$T/Intact.app"
signed_bundle "$B"
expect 0 "$B: accepted" -a -t exec -vv "$B"
case $out in
  *"source=Developer ID"*"origin=Developer ID Application: "*"(T4K9PV2XQM)"*) ;;
  *) echo "FAIL: accepted assessment lacks source/origin: $out"; failures=$((failures + 1)) ;;
esac

B="$T/Unsigned.app"
make_bundle "$B"
expect 3 "$B: rejected" -a -t exec -vv "$B"

B="$T/ResourceChanged.app"
signed_bundle "$B"
echo changed >> "$B/Contents/Info.plist"
expect 3 "$B: rejected" -a -t exec -vv "$B"

B="$T/NestedChanged.app"
signed_bundle "$B"
echo 'echo injected' >> "$B/Contents/Resources/bin/quillmark"
expect 3 "$B: rejected" -a -t exec -vv "$B"

B="$T/FileAdded.app"
signed_bundle "$B"
echo extra > "$B/Contents/Resources/extra.txt"
expect 3 "$B: rejected" -a -t exec -vv "$B"

"$CODESIGN" make-identity --out "$T/stranger" --team T4K9PV2XQM --org "Somebody Else" >/dev/null
B="$T/Stranger.app"
signed_bundle "$B" "$T/stranger"
expect 3 "$B: rejected" -a -t exec -vv "$B"

expect 3 "$T/Missing.app: rejected" -a -t exec -vv "$T/Missing.app"

expect 2 "" 
expect 2 "" -a -t exec -vv
expect 2 "" -t exec -vv "$T/Intact.app"
expect 2 "" -a -t install -vv "$T/Intact.app"
expect 2 "" -a -t exec -vv "$T/Intact.app" "$T/Intact.app"
expect 2 "" -a -t exec -x "$T/Intact.app"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "ql-spctl: all cases passed"
