#!/usr/bin/env bash
# Builds and runs the component's benchmarks under Wine 64 in the test prefix.
# Usage: bench/windows/run.sh BENCHMARK_SOURCE [benchmark options]
#   BENCHMARK_SOURCE: Google Benchmark's sources, e.g. from "apt-get source benchmark".
set -euo pipefail
cd "$(dirname "$0")/../.."
source_dir="$(cd "$1" && pwd)"
shift
cmake --preset mingw-x64 -DCOBALTMOTH_BUILD_BENCHMARKS=ON \
      -DCOBALTMOTH_BENCHMARK_SOURCE="$source_dir" >/dev/null
cmake --build --preset mingw-x64 --target cobaltmoth_com cobaltmoth_com_bench
dll="Z:$(pwd)/build/mingw-x64/Cobaltmoth.dll"
scripts/wine-run.sh regsvr32 /s "${dll//\//\\}"
nice -n 5 scripts/wine-run.sh build/mingw-x64/bench/windows/cobaltmoth_com_bench.exe \
  --benchmark_repetitions=5 --benchmark_report_aggregates_only=true "$@"
