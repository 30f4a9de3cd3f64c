#!/usr/bin/env bash
# Lays out and signs a bundle for the benchmarks.
#
#   bench/make_bench_bundle.sh large|small OUT/Quillmark.app [BUILD_DIR]
#
# large: about 300 MB in about 3,000 files, the shape of a real product:
#   Contents/Resources/bin/quillmark   the demo service padded to 60 MiB (still
#                                      a runnable ELF: trailing bytes are ignored)
#   Contents/Resources/web/…           2,490 files, 185 MiB (log-normal sizes)
#   Contents/Helpers/Quillmark Shell.app (nested, signed on its own) with the
#                                      launch_stamp shell and 500 files, 50 MiB
# small: the launcher, the unpadded demo service and the launch_stamp shell.
#
# The shell is bench/launch_stamp.c: it writes CLOCK_MONOTONIC to
# $QL_STAMP_FILE and exits 0. Signed with BUILD_DIR/dev-identity, the
# identity the launcher of BUILD_DIR trusts.
set -euo pipefail
cd "$(dirname "$0")/.."

kind=${1:?large or small}
out=${2:?output bundle path}
build=${3:-build/release}
bin=$build/bin
for p in quillmark-launcher quillmark-demo-service launch_stamp ql-codesign; do
  [ -x "$bin/$p" ] || { echo "make_bench_bundle: $bin/$p is missing; build it first" >&2; exit 2; }
done
[ -f "$build/dev-identity/root.pem" ] || { echo "make_bench_bundle: $build/dev-identity is missing" >&2; exit 2; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/ql-bundle-XXXXXX")
trap 'rm -rf "$tmp"' EXIT
service=$bin/quillmark-demo-service
if [ "$kind" = large ]; then
  service=$tmp/quillmark
  cp "$bin/quillmark-demo-service" "$service"
  pad=$(( 60 * 1024 * 1024 - $(stat -c %s "$service") ))
  head -c "$pad" /dev/urandom >> "$service"
fi

scripts/make-bundle --out "$out" --version 1.0.0 --launcher "$bin/quillmark-launcher" \
  --service "$service" --shell "$bin/launch_stamp"

if [ "$kind" = large ]; then
  /usr/bin/python3 - "$out" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(20240601)
def fill(base, count, total, per_dir):
    sizes = [rng.lognormvariate(0, 1.1) for _ in range(count)]
    scale = total / sum(sizes)
    for i, s in enumerate(sizes):
        d = os.path.join(base, "d%02d" % (i // per_dir))
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "f%04d.bin" % i), "wb") as f:
            f.write(os.urandom(max(1, int(s * scale))))
MiB = 1 << 20
fill(os.path.join(root, "Contents/Resources/web"), 2490, 185 * MiB, 100)
fill(os.path.join(root, "Contents/Helpers/Quillmark Shell.app/Contents/Resources"), 500, 50 * MiB, 50)
PY
fi

"$bin/ql-codesign" sign --identity "$build/dev-identity" --identifier com.talvoria.zorvan "$out" >/dev/null
files=$(find "$out" -type f | wc -l)
bytes=$(du -sb "$out" | cut -f1)
echo "bundle $kind: $files files, $((bytes / 1024 / 1024)) MiB at $out"
