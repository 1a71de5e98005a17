#!/usr/bin/env bash
# fuzz/run.sh [seconds] [libFuzzer options...] - builds the linux-fuzz preset and runs each fuzz
# target for its share of the seconds (60 by default, at least 1 each) on a copy of its seeds in
# fuzz/corpus/<target>. A failure keeps the copy: the input is in <target>/artifacts/.
set -euo pipefail
seconds="${1:-60}"
[[ "$seconds" =~ ^[0-9]+$ ]] && [ "$seconds" -gt 0 ] ||
  { echo "usage: fuzz/run.sh [seconds] [libFuzzer options...]" >&2; exit 2; }
shift $(( $# > 0 ? 1 : 0 ))
targets=(channel_fuzz desktop_entry_fuzz utf8_fuzz)
each=$(( seconds >= ${#targets[@]} ? seconds / ${#targets[@]} : 1 ))
cd "$(dirname "${BASH_SOURCE[0]}")/.." && root="$(pwd)"
cmake --preset linux-fuzz
cmake --build --preset linux-fuzz --target "${targets[@]}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
work="$(mktemp -d "${TMPDIR:-/tmp}/cobaltmoth_fuzz.XXXXXX")"
for target in "${targets[@]}"; do
  mkdir -p "$work/$target/artifacts" && cp -r "$root/fuzz/corpus/$target" "$work/$target/corpus"
  echo "== $target, $each s" >&2
  "$root/build/linux-fuzz/fuzz/$target" "$work/$target/corpus" -max_total_time="$each" \
    -artifact_prefix="$work/$target/artifacts/" -print_final_stats=1 "$@" ||
    { status=$?; echo "$target failed (exit $status); inputs and logs in $work" >&2; exit $status; }
done
rm -rf "$work"
