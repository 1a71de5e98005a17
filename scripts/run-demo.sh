#!/usr/bin/env bash
# Builds the library and runs the demo host, Payroll 1.2.30: it traces its procedures, prints
# its Dump, reports a handled error to its bug log, and prints the paths of both logs, which
# it writes next to its own program file. Then the part of each log that this run appended.
# With a display (DISPLAY set) the message box and the report window open on the desktop;
# without one they appear in the terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh demo
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCOBALTMOTH_BUILD_TESTS=OFF -DCOBALTMOTH_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build/demo --target payroll cobaltmoth-ui >/dev/null
# With COBALTMOTH_REPORT_TO set ("journal;syslog"), the report also goes to the system's log.
output=$(build/demo/examples/payroll)
echo "$output"

# The last section of a log, from the rule line above its last start banner.
show_last() {  # log banner-pattern
  local start
  start=$(grep -a -n "$2" "$1" | tail -n 1 | cut -d: -f1)
  echo
  echo "--- the section this run appended to $1 (Windows-1252, CR LF) ---"
  tail -n +"$((start - 1))" "$1" | iconv -f WINDOWS-1252 -t UTF-8 | tr -d '\r'
}
show_last "$(sed -n 's/^Stack log: //p' <<<"$output")" '^\* Start Log Procedure Stack'
show_last "$(sed -n 's/^Bug log: //p' <<<"$output")" '^\* Start Log Error for'
# What the journal took, when the report went there and this machine has one.
if grep -q '^Reported to: .*journal' <<<"$output" && command -v journalctl >/dev/null; then
  echo
  echo "--- the record the journal took, as journalctl -o verbose shows it ---"
  journalctl --no-pager -n 1 -o verbose MESSAGE_ID=e05c9d82bf314f92a10d3c0d0b98c8ea || true
fi
