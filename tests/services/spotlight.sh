#!/usr/bin/env bash
# Runs a command beside the trackers' development receiver (tracker/node_modules, from npm ci)
# in a private network namespace with only the loopback up: neither can reach any other address
# (the receiver sends telemetry of its own otherwise). Inside, it takes envelopes on
# http://127.0.0.1:8969/api/ID/envelope/ and writes each body to DIR/spotlight/*.txt.
#   spotlight.sh DIR COMMAND [ARG...]
# Exits with the command's status (124: it outlived SPOTLIGHT_TIMEOUT, default 60 s), 77 when
# no network namespace can be had (not root), 125 when the receiver did not start.
set -euo pipefail
dir=$(realpath "$1")/spotlight; shift
here=$(dirname "$(realpath "$0")")
if [ "${SPOTLIGHT_INSIDE:-}" != 1 ]; then
  [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null || { echo "no network namespace" >&2; exit 77; }
  mkdir -p "$dir"
  SPOTLIGHT_INSIDE=1 exec unshare -n "$0" "$(dirname "$dir")" "$@"
fi
unset SPOTLIGHT_INSIDE
ip link set lo up
(cd "$dir" && SPOTLIGHT_CAPTURE=1 exec node \
  "$here/tracker/node_modules/@spotlightjs/spotlight/dist/run.js" server -p 8969) >"$dir/spotlight.log" 2>&1 &
receiver=$!
trap 'kill $receiver 2>/dev/null && timeout 10 tail -s 0.1 --pid=$receiver -f /dev/null || true' EXIT
for _ in $(seq 200); do
  [ "$(curl -s -m 1 http://127.0.0.1:8969/health)" = OK ] && break
  kill -0 $receiver 2>/dev/null || break; sleep 0.1
done
[ "$(curl -s -m 1 http://127.0.0.1:8969/health)" = OK ] || { cat "$dir/spotlight.log" >&2; exit 125; }
status=0
timeout -k 5 "${SPOTLIGHT_TIMEOUT:-60}" "$@" || status=$?
exit $status
