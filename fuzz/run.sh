#!/usr/bin/env bash
# fuzz/run.sh [seconds] [libFuzzer options...] - builds the linux-fuzz preset into
# build/linux-fuzz and runs collection_fuzz for that many seconds (60 by default).
#
# The fuzzer works on a copy of fuzz/corpus/collection in a temporary directory, so the
# repository is left as it was. After a failure that directory is kept and its path printed:
# the failing input is in its artifacts/ folder; replay it with
#   COLLECTION_FUZZ_TRACE=1 build/linux-fuzz/fuzz/collection_fuzz <input>
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "usage: fuzz/run.sh [seconds] [libFuzzer options...]" >&2
  exit 2
fi
shift $(( $# > 0 ? 1 : 0 ))

cd "$root"
cmake --preset linux-fuzz
cmake --build --preset linux-fuzz

work="$(mktemp -d "${TMPDIR:-/tmp}/collection_fuzz.XXXXXX")"
mkdir -p "$work/corpus" "$work/artifacts"
cp "$root"/fuzz/corpus/collection/* "$work/corpus/"

# UBSan reports are failures too, not just messages.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

status=0
"$root/build/linux-fuzz/fuzz/collection_fuzz" "$work/corpus" \
  -max_total_time="$seconds" -artifact_prefix="$work/artifacts/" -print_final_stats=1 "$@" \
  || status=$?

if [ "$status" -ne 0 ]; then
  echo "collection_fuzz failed (exit $status); inputs and logs kept in $work" >&2
  exit "$status"
fi
rm -rf "$work"
