#!/usr/bin/env bash
# Runs a command against a real systemd-journald of its own, in a private mount namespace, and
# leaves what the journal holds afterwards in DIR/journal.json (journalctl -o json --all, one
# entry a line) and the journal files in DIR/log/journal. Inside, the command finds journald
# where it always is: /run/systemd/journal/socket, and /dev/log leads to its syslog socket.
#   journal.sh DIR COMMAND [ARG...]
# Exits with the command's status (124 when it outlived JOURNAL_TIMEOUT, default 60 s), 77 when
# no mount namespace can be had (not root), 125 when journald did not start or stop.
set -euo pipefail
dir=$(realpath "$1"); shift
if [ "${JOURNAL_INSIDE:-}" != 1 ]; then
  [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null || { echo "no mount namespace" >&2; exit 77; }
  mkdir -p "$dir/log"
  JOURNAL_INSIDE=1 exec unshare -m --propagation private "$0" "$dir" "$@"
fi
unset JOURNAL_INSIDE
# Fresh /run/systemd and persistent journal places, the journal files in the caller's folder.
mount -t tmpfs tmpfs /run/systemd
[ -d /var/log/journal ] && mount -t tmpfs tmpfs /var/log/journal
mount --bind "$dir/log" /run/log
# /dev/log as on a systemd machine: an overlay over /dev holds the link, /dev's mounts come back.
t=/run/systemd/.dev
mkdir "$t"
mount -t tmpfs tmpfs "$t" && mkdir "$t/up" "$t/work" "$t/dev" && mount --rbind /dev "$t/dev"
mount -t overlay overlay -o "lowerdir=$t/dev,upperdir=$t/up,workdir=$t/work" /dev
for m in $(awk '$5 ~ "^/dev/[^/]+$" {print $5}' /proc/self/mountinfo | sort -u); do
  mount --rbind "$t$m" "$m"
done
ln -sfn /run/systemd/journal/dev-log /dev/log
mkdir /run/systemd/journald.conf.d
printf '%s\n' '[Journal]' Storage=volatile ReadKMsg=no Audit=no RateLimitBurst=0 \
  ForwardToSyslog=no ForwardToWall=no ForwardToConsole=no >/run/systemd/journald.conf.d/test.conf
env -u NOTIFY_SOCKET -u LISTEN_FDS -u LISTEN_PID SYSTEMD_LOG_TARGET=console \
  SYSTEMD_LOG_LEVEL=warning /lib/systemd/systemd-journald 2>"$dir/journald.log" &
journald=$!
trap 'kill $journald 2>/dev/null || true' EXIT
# Ready once it opened its journal file, which it does after binding its sockets.
for _ in $(seq 100); do compgen -G '/run/log/journal/*/system.journal' >/dev/null && break; sleep 0.1; done
compgen -G '/run/log/journal/*/system.journal' >/dev/null || { echo "journald did not start" >&2; exit 125; }
status=0
timeout -k 5 "${JOURNAL_TIMEOUT:-60}" "$@" || status=$?
kill $journald
timeout 10 tail -s 0.1 --pid=$journald -f /dev/null || { echo "journald did not stop" >&2; exit 125; }
journalctl -D /run/log/journal -o json --all >"$dir/journal.json" || exit 125
exit $status
