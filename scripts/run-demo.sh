#!/usr/bin/env bash
# Builds the library and runs the demo host, Payroll 1.2.30, which writes its stack log next
# to its own program file and prints its Dump and the log's path.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh demo
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCOBALTMOTH_BUILD_TESTS=OFF -DCOBALTMOTH_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build/demo --target payroll >/dev/null
log=$(build/demo/examples/payroll | tee /dev/stderr | sed -n 's/^Stack log: //p')
echo
echo "--- the section this run appended to $log (Windows-1252, CR LF) ---"
start=$(grep -a -n '^\* Start Log Procedure Stack' "$log" | tail -n 1 | cut -d: -f1)
tail -n +"$((start - 1))" "$log" | iconv -f WINDOWS-1252 -t UTF-8 | tr -d '\r'
