#!/usr/bin/env bash
# fuzz/run.sh [seconds] [libFuzzer options...] - builds the linux-fuzz preset into
# build/linux-fuzz and runs every fuzz target in turn, sharing that many seconds between them
# (60 by default; at least one second each).
#
# Each target works on a copy of fuzz/corpus/<target> in a temporary directory, so the
# repository is left as it was. After a failure that directory is kept and its path printed:
# the failing input is in <target>/artifacts/; replay it with
#   build/linux-fuzz/fuzz/<target> <input>
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "usage: fuzz/run.sh [seconds] [libFuzzer options...]" >&2
  exit 2
fi
shift $(( $# > 0 ? 1 : 0 ))

targets=(channel_fuzz desktop_entry_fuzz utf8_fuzz)
each=$(( seconds / ${#targets[@]} ))
[ "$each" -ge 1 ] || each=1

cd "$root"
cmake --preset linux-fuzz
cmake --build --preset linux-fuzz --target "${targets[@]}"

# UBSan reports are failures too, not just messages.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

work="$(mktemp -d "${TMPDIR:-/tmp}/cobaltmoth_fuzz.XXXXXX")"
status=0
for target in "${targets[@]}"; do
  mkdir -p "$work/$target/corpus" "$work/$target/artifacts"
  cp "$root/fuzz/corpus/$target"/* "$work/$target/corpus/"
  echo "== $target, $each s" >&2
  "$root/build/linux-fuzz/fuzz/$target" "$work/$target/corpus" \
    -max_total_time="$each" -artifact_prefix="$work/$target/artifacts/" -print_final_stats=1 \
    "$@" || { status=$?; echo "$target failed (exit $status)" >&2; break; }
done

if [ "$status" -ne 0 ]; then
  echo "inputs and logs kept in $work" >&2
  exit "$status"
fi
rm -rf "$work"
