#!/usr/bin/env bash
# Builds the benchmarks (Release, in build/bench), runs them, and prints each library path as
# a ratio to its floor measured in the same run, next to the aim for it.
#
#   bench/run.sh                      # the whole set, 5 repetitions of 0.2 s, medians
#   bench/run.sh --benchmark_filter=EnterExit   # extra arguments go to the benchmark binary
#
# Environment: BUILD_DIR (default build/bench), JOBS (default 2), MIN_TIME (default 0.2),
# REPETITIONS (default 5), CLOCK (cpu_time, the default, or real_time: CPU time, which
# includes the time spent in the kernel, is the steadier one on a shared machine). Repetitions run in random order, so that a file that has grown or
# a neighbour on the machine does not always favour the same side of a ratio.
# A build directory configured beforehand keeps its settings, so the library without its
# USDT probes is measured with
#   cmake -S . -B build/bench-noprobes -DCOBALTMOTH_PROBES=OFF
#   BUILD_DIR=build/bench-noprobes bench/run.sh
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build/bench}"
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)

cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
      -DCOBALTMOTH_BUILD_BENCHMARKS=ON -DCOBALTMOTH_BUILD_TESTS=OFF \
      -DCOBALTMOTH_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" --target cobaltmoth_bench -j "${JOBS:-2}"

json="$(mktemp /tmp/cobaltmoth_bench_XXXXXX.json)"
trap 'rm -f "$json"' EXIT

"$build/bench/cobaltmoth_bench" \
    --benchmark_min_time="${MIN_TIME:-0.2}" \
    --benchmark_repetitions="${REPETITIONS:-5}" \
    --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$json" --benchmark_out_format=json \
    "$@"

python3 - "$json" "${CLOCK:-cpu_time}" <<'PY'
import json, sys

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}

with open(sys.argv[1]) as f:
    data = json.load(f)

clock = sys.argv[2]

# Nanoseconds per iteration: the median when repeated, else the single run.
times = {}
for b in data["benchmarks"]:
    if b.get("error_occurred"):
        continue
    name = b.get("run_name", b["name"])
    agg = b.get("aggregate_name")
    if agg not in (None, "median"):
        continue
    if agg is None and name in times:
        continue
    times[name] = b[clock] * UNIT_NS[b.get("time_unit", "ns")]

def ratio(label, num, den, aim=None, meets=None):
    if num not in times or den not in times:
        print(f"  {label:<52} (not measured)")
        return
    r = times[num] / times[den]
    if aim is None:
        print(f"  {label:<52} {r:6.2f}x")
        return
    verdict = "met" if meets(r) else "NOT met"
    print(f"  {label:<52} {r:6.2f}x   aim {aim:<8} {verdict}")

print()
print(f"Ratios (median {clock} per iteration, same run):")
for depth in ("8", "1000"):
    ratio(f"EnterExit_LogOff / Floor_VectorPushPop, depth {depth}",
          f"BM_EnterExit_LogOff/{depth}", f"BM_Floor_VectorPushPop/{depth}", "<= 1x",
          lambda r: r <= 1.0)
for depth in ("8", "1000"):
    ratio(f"EnterExit_CallSite / Floor_VectorPushPop, depth {depth}",
          f"BM_EnterExit_CallSite/{depth}", f"BM_Floor_VectorPushPop/{depth}")
for depth in ("8", "1000"):
    name = f"BM_EnterExit_CallSite/{depth}"
    if name in times:
        ns = times[name]
        print(f"  {'EnterExit_CallSite, depth ' + depth:<52} {ns:6.1f} ns  aim <= 5 ns   "
              f"{'met' if ns <= 5 else 'NOT met'}")
ratio("EnterExit_CrashesCaught / EnterExit_LogOff", "BM_EnterExit_CrashesCaught",
      "BM_EnterExit_LogOff/8", "<= 1.05x", lambda r: r <= 1.05)
ratio("EnterExit_LateBound / EnterExit_LogOff", "BM_EnterExit_LateBound",
      "BM_EnterExit_LogOff/8", "<= 5x", lambda r: r <= 5.0)
ratio("EnterExit_LogOn / Floor_RawWritePerLine", "BM_EnterExit_LogOn",
      "BM_Floor_RawWritePerLine", "<= 1.2x", lambda r: r <= 1.2)
ratio("EnterExit_LogOn / Spdlog_FlushEveryLine", "BM_EnterExit_LogOn",
      "BM_Spdlog_FlushEveryLine", "< 1x", lambda r: r < 1.0)
ratio("EnterExit_LogOnMapped / EnterExit_LogOff, depth 8", "BM_EnterExit_LogOnMapped",
      "BM_EnterExit_LogOff/8", "<= 3x", lambda r: r <= 3.0)
# The same pair with the drain thread's work counted: its CPU time is the process's, all threads.
ratio("EnterExit_LogOnMappedWithDrain / EnterExit_LogOff", "BM_EnterExit_LogOnMappedWithDrain/process_time",
      "BM_EnterExit_LogOff/8")
# The drain's floor: the pair's bytes written to a growing file, half the ring at a time.
ratio("Floor_DrainWritePerPair / EnterExit_LogOff, depth 8", "BM_Floor_DrainWritePerPair",
      "BM_EnterExit_LogOff/8")
ratio("EnterExit_CallSiteMapped / EnterExit_CallSite, depth 8", "BM_EnterExit_CallSiteMapped",
      "BM_EnterExit_CallSite/8", "<= 4x", lambda r: r <= 4.0)
ratio("EnterExit_LogOnMapped / Floor_MappedCopyPerPair", "BM_EnterExit_LogOnMapped",
      "BM_Floor_MappedCopyPerPair")
ratio("Floor_MappedCopyPerPair / EnterExit_LogOff, depth 8", "BM_Floor_MappedCopyPerPair",
      "BM_EnterExit_LogOff/8")
ratio("EnterExit_LogOnMapped / EnterExit_LogOn", "BM_EnterExit_LogOnMapped",
      "BM_EnterExit_LogOn")
ratio("Collection_AddItemRemoveLast / UnorderedMap", "BM_Collection_AddItemRemoveLast",
      "BM_Floor_UnorderedMap", "<= 2x", lambda r: r <= 2.0)
ratio("Collection_All1000 / UnorderedMap_All1000", "BM_Collection_All1000",
      "BM_Floor_UnorderedMap_All1000", "<= 2x", lambda r: r <= 2.0)
for held in ("0", "30"):
    ratio(f"Outbox_Put / Floor_OneWrite, 100 KB, {held} held", f"BM_Outbox_Put/{held}",
          "BM_Floor_OneWrite")
    if f"BM_Outbox_Put/{held}" in times:
        us = times[f"BM_Outbox_Put/{held}"] / 1e3
        print(f"  {'Outbox_Put of 100 KB, ' + held + ' held':<52} {us:6.1f} us  aim < 1000 us "
              f"{'met' if us < 1000 else 'NOT met'}")
ratio("Raise_JournalSyslog / Raise_Nothing", "BM_Raise_JournalSyslog", "BM_Raise_Nothing")
if "BM_Raise_JournalSyslog" in times and "BM_Raise_Nothing" in times:
    us = (times["BM_Raise_JournalSyslog"] - times["BM_Raise_Nothing"]) / 1e3
    print(f"  {'Raise: what delivery to journal;syslog adds':<52} {us:6.1f} us  aim < 1000 us "
          f"{'met' if us < 1000 else 'NOT met'}")
for arg, outbox in (("0", "room"), ("1", "its bound")):
    ratio(f"Raise_Tracker / Raise_Nothing, outbox with {outbox}", f"BM_Raise_Tracker/{arg}",
          "BM_Raise_Nothing")
    if f"BM_Raise_Tracker/{arg}" in times and "BM_Raise_Nothing" in times:
        us = (times[f"BM_Raise_Tracker/{arg}"] - times["BM_Raise_Nothing"]) / 1e3
        print(f"  {'Raise: what a tracker adds, outbox at ' + outbox:<52} {us:6.1f} us  aim < 1000 us "
              f"{'met' if us < 1000 else 'NOT met'}")
if "BM_Dump_1000" in times:
    us = times["BM_Dump_1000"] / 1e3
    print(f"  {'Dump of 1,000 entries':<52} {us:6.1f} us  aim < 200 us  "
          f"{'met' if us < 200 else 'NOT met'}")
PY
