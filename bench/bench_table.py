#!/usr/bin/env python3
"""Prints the table of scripts/bench from the runs' outputs.

   bench_table.py WORK_DIR

WORK_DIR holds signing.json, supervision.json, launcher.json and, when run
as root, cold.json and copyfs.json (Google Benchmark JSON with median
aggregates) and idle.txt (bench/idle_sample.sh).
Each row: a figure's median, its reference's median measured in the same
invocation, and the ratio figure/reference (below 1: better than the
reference)."""
import json
import os
import statistics
import sys

work = sys.argv[1]
UNIT = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}


def medians(name, field="real_time"):
    """{benchmark prefix: median of `field` in ms} from one JSON file."""
    path = os.path.join(work, name)
    out = {}
    if not os.path.exists(path):
        return out
    with open(path) as f:
        data = json.load(f)
    for b in data.get("benchmarks", []):
        if b.get("aggregate_name") != "median" or b.get("error_occurred"):
            continue
        key = b["run_name"].split("/iterations")[0].split("/min_time")[0].split("/real_time")[0]
        key = key.split("/manual_time")[0]
        out[key] = b[field] * UNIT[b.get("time_unit", "ns")]
    return out


sig = medians("signing.json")
cold = medians("cold.json")
sup = medians("supervision.json")
lau = medians("launcher.json")
copyfs = medians("copyfs.json")

idle = {}
with open(os.path.join(work, "idle.txt")) as f:
    for line in f:
        parts = line.split()
        if len(parts) == 2:
            idle.setdefault(parts[0], []).append(float(parts[1]))


def med(key):
    v = idle.get(key)
    return statistics.median(v) if v else None


rows = []


def row(figure, value, unit, reference, ref_value, goal=""):
    rows.append((figure, value, unit, reference, ref_value, goal))


def ms(d, k):
    return d.get(k)


row("Strict nested validation, ~300 MB / ~3,000 files (signing_bench)",
    ms(sig, "BM_ValidateStrictNested"), "ms",
    "openssl dgst -sha256 over the same files", ms(sig, "BM_OpensslDgstSameFiles"), "well under 1")
row("Same, the launcher's signature check on the launch bundle",
    ms(lau, "SignatureCheck/large"), "ms",
    "openssl dgst -sha256 over the same files", ms(lau, "OpensslDgstFiles/large"), "<= 0.55")
row("Seeding the 60 MiB service binary (copy, verify, rename, marker)",
    ms(lau, "SeedServiceBinary"), "ms",
    "cp + one openssl dgst -sha256 of it", ms(lau, "CpPlusOpensslDgst"), "<= 0.6")
row("Launch, exec to shell spawned, ~300 MB bundle, seeded binary in place",
    ms(lau, "Launch/large"), "ms",
    "the signature check alone (row 2's figure)", ms(lau, "SignatureCheck/large"), "little above 1")
row("Launch, exec to shell spawned, small bundle (fixed cost)",
    ms(lau, "Launch/small"), "ms",
    "exec + spawn floor (minimal C program)", ms(lau, "ExecSpawnFloor"), "< 10 ms")
row("Child exit to its handler on the main queue",
    ms(sup, "ExitToMainQueue_events"), "ms",
    "a 0.1 s polling look", ms(sup, "ExitToMainQueue_polling"), "<= 1")
# Row 7 on a fresh journaled ext4 when scripts/bench could make one (root);
# otherwise on the work folder's file system, as row 13 always is.
copy7 = copyfs if copyfs.get("InstallCopy") and copyfs.get("CpA") else lau
row("Install copy of the bundle into an Applications folder (copyItem)" +
    (", fresh ext4 with journal" if copy7 is copyfs else ""),
    ms(copy7, "InstallCopy"), "ms",
    "cp -a of the same bundle", ms(copy7, "CpA"), "<= 0.8")
kb = 1 / 1024
rss_small, shell_rss, rss_large = med("rss_small_kb"), med("shell_rss_kb"), med("rss_large_kb")
row("Launcher VmRSS, supervising the idle demo shell (demo bundle)",
    rss_small * kb if rss_small else None, "MiB",
    "VmRSS of that idle shell (C++ program waiting on its child)", shell_rss * kb if shell_rss else None, "< 6 MiB")
row("Launcher VmRSS after validating the ~300 MB bundle, shell idle",
    rss_large * kb if rss_large else None, "MiB",
    "VmRSS of the idle demo shell", shell_rss * kb if shell_rss else None, "< 8 MiB")
row("Launcher wake-ups/s, all threads, idle shell (idle_wakeups.sh)",
    med("wakeups_run"), "/s",
    "the supervised demo shell's own wake-ups/s", med("shell_wakeups_run"), "0")
row("Same, after validating the ~300 MB bundle",
    med("large_wakeups"), "/s",
    "the supervised demo shell's own wake-ups/s", med("shell_wakeups_run"), "0")

row("The check of row 2 with the page cache dropped first (cold)",
    ms(cold, "SignatureCheckCold/large"), "ms",
    "openssl dgst -sha256 over the same files, cache dropped the same way", ms(cold, "OpensslDgstFilesCold/large"),
    "<= 1")
row("Row 7 on the work folder's own file system (the machine's as it is)",
    ms(lau, "InstallCopy"), "ms",
    "cp -a of the same bundle, same folder", ms(lau, "CpA"), "")


def fmt(v, unit):
    if v is None:
        return "n/a"
    if unit == "/s":
        return "%.2f/s" % v
    if unit == "MiB":
        return "%.1f MiB" % v
    return ("%.3g ms" % v) if v < 10 else ("%.0f ms" % v)


def ratio(a, b):
    if a is None or b is None:
        return "n/a"
    if b == 0:
        return "0 = 0" if a == 0 else "inf"
    return "%.2f" % (a / b)


print("| # | Figure | Median | Reference (same run) | Ref. median | Ratio | Goal |")
print("|---|---|---:|---|---:|---:|---|")
for i, (fig, v, unit, ref, rv, goal) in enumerate(rows, 1):
    print("| %d | %s | %s | %s | %s | %s | %s |" % (i, fig, fmt(v, unit), ref, fmt(rv, unit), ratio(v, rv), goal))

pss_small, pss_large = med("pss_small_kb"), med("pss_large_kb")
if pss_small and pss_large:
    print()
    print("Rows 8/9 as proportional set size (shared pages divided among their users): %.1f / %.1f MiB."
          % (pss_small * kb, pss_large * kb))

if os.path.exists(os.path.join(work, "copyfs.skipped")):
    print()
    print("Row 7 measured in the work folder (as row 13): a fresh file system for it needs root.")

if os.path.exists(os.path.join(work, "cold.skipped")):
    print()
    print("Row 12 skipped: dropping the page cache needs root.")

cpu = medians("launcher.json", "cpu_time").get("SignatureCheck/large")
wall = lau.get("SignatureCheck/large")
if cpu and wall:
    print()
    print("Row 2 used %.0f ms of CPU (all threads) in %.0f ms of wall time: %.2f cores on average."
          % (cpu, wall, cpu / wall))
