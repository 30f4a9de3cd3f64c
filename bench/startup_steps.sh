#!/usr/bin/env bash
# Where a launch's fixed cost goes: timestamps of the launcher's start-up
# steps, taken by the kernel (uprobes on function entries, the exec
# tracepoint), so that the launcher itself carries no tracing code.
#
#   bench/startup_steps.sh BUNDLE WORK_DIR [RUNS] [fine]
#
# "fine" adds probes inside the platform assembly (each part of the backend
# built in turn) and inside the signature check (the designated-requirement
# reads, then the validation); more probes cost a little more per launch.
#
# Launches BUNDLE's launcher RUNS times (default 30) the way launcher_bench
# does (scratch home under WORK_DIR, no display, no install offer; the first
# launch seeds the home and is not counted) and prints, for each step, the
# median time from the launcher's exec to that point and the median
# duration of the step, then the dynamic loader's own statistics
# (LD_DEBUG=statistics) for one launch. The bundle's shell must be
# bench/launch_stamp (bench/make_bench_bundle.sh lays it out so).
#
# Needs root and tracefs; prints a note and exits 0 otherwise. Uses its own
# tracing instance and removes its probes on exit.
set -euo pipefail
cd "$(dirname "$0")/.."

bundle=${1:?bundle}
work=${2:?work dir}
runs=${3:-30}
fine=${4:-}
exe="$bundle/Contents/MacOS/Quillmark"
tracefs=/sys/kernel/tracing

# Some machines have tracefs in the kernel but not mounted; root can mount it.
if [ "$(id -u)" = 0 ] && [ ! -e "$tracefs/uprobe_events" ] && grep -qw tracefs /proc/filesystems; then
  mount -t tracefs nodev "$tracefs" 2>/dev/null || true
fi
if [ "$(id -u)" != 0 ] || [ ! -w "$tracefs/uprobe_events" ]; then
  echo "startup_steps: skipped (needs root and a writable $tracefs)"
  exit 0
fi

# The steps, in the order a launch reaches them: symbol, label. A label
# names what happens between the previous step shown and this one; "-"
# marks a probe that only orders the others and gets no row.
head=(
  "_start|loaded: libraries mapped and relocated, their constructors run"
  "main|the launcher's own static constructors"
  "_ZN2ql13linux_backend17makeLinuxPlatformEiPPc|-"
)
tail=(
  "_ZN2ql11AppDelegate11launchShellEv|seed decision (binary and marker in place)"
  "posix_spawn|shell launch prepared (arguments, environment, supervisor)"
)
if [ "$fine" = fine ]; then
  middle=(
    "_ZN2ql13linux_backend16LinuxApplication23routeTerminationSignalsEv|OpenSSL initialised, front end chosen and built"
    "_ZN2ql13linux_backend13LinuxDispatchC1ERNS0_8MainLoopE|termination signals routed (signal thread)"
    "_ZN2ql13linux_backend16LinuxFileManagerC1Ev|dispatch (timer thread)"
    "_ZN2ql13linux_backend10LinuxTasksC1Ev|file manager"
    "_ZN2ql13linux_backend23bundlePathForExecutableERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE|tasks, process information, executable path"
    "_ZN2ql13linux_backend16LinuxCodeSigningC1ESt13shared_futureIN6qlsign10TrustStoreEESt8functionIFNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEvEE|bundle path (the anchors are parsed on a thread of their own meanwhile)"
    "_ZN2ql12launcherMainERNS_8PlatformE|code signing, platform record"
    "_ZN2ql11AppDelegate20checkBundleSignatureEv|delegate, install check, menu, migration, folders, log"
    "_ZN6qlsign21designatedRequirementERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEPNS_11RequirementEPNS_14SignatureCacheE|-"
    "_ZN6qlsign12validateCodeERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEjPKNS_11RequirementERKNS_10TrustStoreERKNS_15ValidateOptionsE|check: the two designated requirements read"
    "_ZN2ql11AppDelegate17seedServiceBinaryEbbRKSt10shared_ptrIKNS_11RequirementEE|check: strict nested validation"
  )
else
  middle=(
    "_ZN2ql12launcherMainERNS_8PlatformE|platform assembled (front end, dispatch threads, trust store)"
    "_ZN2ql11AppDelegate29applicationDidFinishLaunchingEv|delegate set up, main loop started"
    "_ZN2ql11AppDelegate20migrateLegacyDataDirEv|install check, menu"
    "_ZN2ql11AppDelegate11openLogFileEv|data directory migration and folders"
    "_ZN2ql11AppDelegate20checkBundleSignatureEv|log opened"
    "_ZN2ql11AppDelegate17seedServiceBinaryEbbRKSt10shared_ptrIKNS_11RequirementEE|signature check of the bundle"
  )
fi
steps=("${head[@]}" "${middle[@]}" "${tail[@]}")
libc=$(ldd "$exe" | awk '/libc\.so/ {print $3}')

group=qlsteps$$
inst="$tracefs/instances/$group"
cleanup() {
  [ -d "$inst" ] && { echo 0 > "$inst/tracing_on" || true; }
  [ -d "$inst" ] && { rmdir "$inst" 2>/dev/null || true; }
  sed -n "s/^p:$group\/\([^ ]*\) .*/-:$group\/\1/p" "$tracefs/uprobe_events" | while read -r d; do
    echo "$d" >> "$tracefs/uprobe_events" || true
  done
}
trap cleanup EXIT

# File offset of a symbol's entry: its address minus its segment's address
# plus the segment's offset.
offset() {
  local file=$1 sym=$2
  python3 - "$file" "$sym" <<'PY'
import subprocess, sys
f, sym = sys.argv[1], sys.argv[2]
addr = None
for args in (["nm", f], ["nm", "-D", f]):
    out = subprocess.run(args, capture_output=True, text=True).stdout
    for line in out.splitlines():
        p = line.split()
        if len(p) == 3 and p[1] in "TtWi" and p[2].split("@")[0] == sym:
            addr = int(p[0], 16)
            break
    if addr is not None:
        break
if addr is None:
    sys.exit(1)
for line in subprocess.run(["readelf", "-lW", f], capture_output=True, text=True).stdout.splitlines():
    p = line.split()
    if p and p[0] == "LOAD":
        off, va, size = int(p[1], 16), int(p[2], 16), int(p[5], 16)
        if va <= addr < va + size:
            print(hex(addr - va + off))
            sys.exit(0)
sys.exit(1)
PY
}

i=0
for s in "${steps[@]}"; do
  sym=${s%%|*}
  file=$exe
  [ "$sym" = posix_spawn ] && file=$libc
  off=$(offset "$file" "$sym") || { echo "startup_steps: no symbol $sym in $file" >&2; exit 1; }
  echo "p:$group/s$i $file:$off" >> "$tracefs/uprobe_events"
  i=$((i + 1))
done

mkdir "$inst"
echo mono > "$inst/trace_clock"
echo 8192 > "$inst/buffer_size_kb"
echo 1 > "$inst/events/$group/enable"
echo 1 > "$inst/events/sched/sched_process_exec/enable"

home="$work/steps-home"
mkdir -p "$home"
launch() {
  env -i HOME="$home" PATH=/usr/bin:/bin ZORVAN_SKIP_INSTALL=1 QL_STAMP_FILE="$work/steps-stamp" LANG=C.UTF-8 \
    "$exe" >/dev/null 2>&1
}
echo 0 > "$inst/tracing_on"
launch  # seeds the home
echo > "$inst/trace"
echo 1 > "$inst/tracing_on"
for _ in $(seq 1 "$runs"); do launch; done
echo 0 > "$inst/tracing_on"
cp "$inst/trace" "$work/steps-trace.txt"

labels=$(printf '%s\n' "${steps[@]}" | cut -d'|' -f2)
# A row's name: the probed function's own name (a constructor's is its class).
names=$(printf '%s\n' "${steps[@]}" | cut -d'|' -f1 | c++filt | sed 's/(.*//; s/.*:://')
python3 - "$work/steps-trace.txt" "$exe" "$labels" "$names" <<'PY'
import re, statistics, sys
trace, exe, labels, names = sys.argv[1], sys.argv[2], sys.argv[3].split("\n"), sys.argv[4].split("\n")
line_re = re.compile(r"^\s*(.+?)-(\d+)\s+\[\d+\].*?\s(\d+\.\d+): (\S+?):(.*)$")
launches = {}   # launcher pid -> {step: t}
order = []
current = None
for line in open(trace):
    m = line_re.match(line)
    if not m:
        continue
    comm, pid, t, event, rest = m.group(1), int(m.group(2)), float(m.group(3)), m.group(4), m.group(5)
    if event == "sched_process_exec":
        fn = re.search(r"filename=(.*) pid=", rest).group(1)
        if fn == exe:
            current = {"exec": t}
            launches[pid] = current
            order.append(pid)
        elif fn.endswith("/Quillmark Shell") and current is not None and "shell" not in current \
                and "s%d" % (len(labels) - 1) in current:
            current["shell"] = t
        continue
    step = event  # s0, s1, ...
    rec = launches.get(pid)
    if rec is None:
        # Another thread of the launcher (posix_spawn may run on one); libc's
        # probe also fires in every other program on the machine.
        if not comm.startswith("Quillmark") and not comm.startswith("ql-"):
            continue
        rec = current
    # Steps are reached in order: a step counts only once the one before it
    # has been seen (posix_spawn, for one, may also run earlier).
    index = int(step[1:])
    if rec is not None and step not in rec and (index == 0 or "s%d" % (index - 1) in rec):
        rec[step] = t
n_steps = len(labels)
keys = ["s%d" % i for i in range(n_steps)] + ["shell"]
rows = []
complete = [r for r in (launches[p] for p in order) if all(k in r for k in keys)]
if not complete:
    print("startup_steps: no complete launch traced")
    sys.exit(1)
prev = "exec"
print("launches traced: %d" % len(complete))
print("| up to | median from exec (ms) | step (ms) | what the step is |")
print("|---|---:|---:|---|")
for i, k in enumerate(keys):
    label = labels[i] if i < n_steps else "the spawn: vfork, exec of the shell"
    at = statistics.median((r[k] - r["exec"]) * 1e3 for r in complete)
    d = statistics.median((r[k] - r[prev]) * 1e3 for r in complete)
    name = names[i] if i < n_steps else "shell exec"
    if label != "-":
        print("| %s | %.2f | %.2f | %s |" % (name, at, d, label))
        prev = k
PY
echo
echo "dynamic loader, one launch (LD_DEBUG=statistics; cycles at the TSC rate):"
env -i HOME="$home" PATH=/usr/bin:/bin ZORVAN_SKIP_INSTALL=1 QL_STAMP_FILE="$work/steps-stamp" LANG=C.UTF-8 \
  LD_DEBUG=statistics "$exe" 2>&1 >/dev/null | sed -n 's/^ *[0-9]*:[[:space:]]*//p' | grep -E "startup time|relocation|load objects" | head -4
echo "libraries mapped at load: $(ldd "$exe" | wc -l)"
