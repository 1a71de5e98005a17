#!/usr/bin/env bash
# Runs a real rsyslogd with a private configuration in DIR/rsyslog (as nobody when started as
# root) until its standard input ends or it gets SIGTERM; README.md beside it has the details.
#   rsyslog.sh DIR   prints socket=PATH, port=N, output=FILE, then "ready"
set -euo pipefail
dir=$(realpath "$1")/rsyslog
mkdir -p "$dir"
run=()
if [ "$(id -u)" = 0 ]; then
  chmod a+x "$dir/.."; chown nobody "$dir"; run=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
rm -f "$dir/port" "$dir/log.sock"
field() { echo "property(name=\"$1\" controlcharacters=\"escape\" $2) constant(value=\"$3\")"; }
cat >"$dir/rsyslog.conf" <<CONF
global(workDirectory="$dir" maxMessageSize="1m" parser.escapeControlCharactersOnReceive="off")
module(load="imuxsock" SysSock.Use="off")
module(load="imtcp")
input(type="imuxsock" socket="$dir/log.sock" useSpecialParser="off" parseHostname="on"
      ignoreTimestamp="off" rateLimit.interval="0")
input(type="imtcp" address="127.0.0.1" port="0" maxFrameSize="1048576" listenPortFileName="$dir/port")
template(name="fields" type="list") {
  $(field inputname '' '\t') $(field pri '' '\t') $(field protocol-version '' '\t')
  $(field timereported 'dateFormat="rfc3339"' '\t') $(field hostname '' '\t')
  $(field app-name '' '\t') $(field procid '' '\t') $(field msgid '' '\t')
  $(field structured-data '' '\t') $(field msg '' '\n')
}
if \$inputname != "rsyslogd" then action(type="omfile" file="$dir/messages" template="fields")
CONF
"${run[@]}" rsyslogd -n -f "$dir/rsyslog.conf" -i "$dir/pid" 2>"$dir/rsyslogd.log" &
daemon=$!
waiter=
stop() {
  [ -z "$waiter" ] || kill $waiter 2>/dev/null || true
  kill $daemon 2>/dev/null && timeout 10 tail -s 0.1 --pid=$daemon -f /dev/null || kill -9 $daemon 2>/dev/null || true
}
trap stop EXIT
trap 'exit 0' TERM INT
for _ in $(seq 100); do [ -s "$dir/port" ] && [ -S "$dir/log.sock" ] && break; sleep 0.1; done
[ -s "$dir/port" ] && [ -S "$dir/log.sock" ] || { cat "$dir/rsyslogd.log" >&2; exit 1; }
printf 'socket=%s\nport=%s\noutput=%s\nready\n' "$dir/log.sock" "$(cat "$dir/port")" "$dir/messages"
exec 3<&0  # an asynchronous command would otherwise read /dev/null
cat <&3 >/dev/null & waiter=$!
wait $waiter || true
