#!/usr/bin/env bash
# The real print path: a private CUPS scheduler with a cups-pdf queue as its default printer,
# a report printed through the library (tests/print_text.cpp), and the PDF that comes out
# checked: its font is Courier, its text is the report, its glyphs are 12 pt (7.2 pt apart,
# Courier being 0.6 em wide) on lines 12 pt apart starting 18 pt from the left. Then, with
# the queue removed and with the scheduler stopped, the user must get the spooler's message.
# Runs as root (as CI does); skips, with exit 0, only when cupsd cannot be started here.
# Usage: scripts/ci-printer-test.sh [PRINT_PROGRAM]  (default build/linux/tests/cobaltmoth_print_text)
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "${1:-build/linux/tests/cobaltmoth_print_text}")
[ -x "$program" ] || { echo "no print program at $program" >&2; exit 1; }
if [ "$(id -u)" -ne 0 ]; then echo "skipped: the print server test runs as root"; exit 0; fi
for tool in cupsd lpadmin lp pdffonts pdftotext; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/setup-debian.sh test)" >&2; exit 1; }
done

dir=$(mktemp -d /tmp/cobaltmoth-cups-XXXXXX)
chmod 755 "$dir"
cupsd_pid=
cleanup() {
  if [ -n "$cupsd_pid" ] && kill -0 "$cupsd_pid" 2>/dev/null; then
    kill "$cupsd_pid"; wait "$cupsd_pid" 2>/dev/null || true
  fi
  rm -rf "$dir"
}
trap cleanup EXIT

# The scheduler's own folders and configuration; it listens only on a private socket.
mkdir -p "$dir"/{ppd,spool/tmp,cache,state,log,home}
chmod 710 "$dir/spool"; chgrp lp "$dir/spool" 2>/dev/null || true
chmod 1777 "$dir/spool/tmp"
cat >"$dir/cups-files.conf" <<EOF
SystemGroup root
ServerRoot $dir
RequestRoot $dir/spool
TempDir $dir/spool/tmp
CacheDir $dir/cache
StateDir $dir/state
ErrorLog $dir/log/error_log
AccessLog $dir/log/access_log
PageLog $dir/log/page_log
ServerBin /usr/lib/cups
DataDir /usr/share/cups
Sandboxing Relaxed
EOF
cat >"$dir/cupsd.conf" <<EOF
Listen $dir/cups.sock
LogLevel warn
Browsing Off
WebInterface No
DefaultAuthType None
<Location />
  Order allow,deny
  Allow all
</Location>
EOF
export CUPS_SERVER=$dir/cups.sock CUPS_SERVERROOT=$dir HOME=$dir/home
unset PRINTER LPDEST

cupsd -f -c "$dir/cupsd.conf" -s "$dir/cups-files.conf" >"$dir/log/cupsd.out" 2>&1 &
cupsd_pid=$!
for _ in $(seq 50); do
  [ -S "$dir/cups.sock" ] && lpstat -r >/dev/null 2>&1 && break
  kill -0 "$cupsd_pid" 2>/dev/null || break
  sleep 0.2
done
if ! lpstat -r >/dev/null 2>&1; then
  echo "skipped: cupsd cannot be started here: $(tail -n 3 "$dir/log/cupsd.out" "$dir/log/error_log" 2>/dev/null | tr '\n' ' ')"
  exit 0
fi

lpadmin -p CobaltmothPDF -E -v cups-pdf:/ -P /usr/share/ppd/cups-pdf/CUPS-PDF_noopt.ppd \
  2> >(grep -v 'drivers are deprecated' >&2)
lpadmin -d CobaltmothPDF
cupsenable CobaltmothPDF; cupsaccept CobaltmothPDF

# cups-pdf writes into the home folder of the job's user (root here).
out=$(getent passwd root | cut -d: -f6)/PDF
mkdir -p "$out"
before=$(mktemp "$dir/before.XXXXXX")
ls "$out" >"$before" 2>/dev/null || true

report="$dir/report.txt"
printf '%s\r\n' \
  '********************************************************************************' \
  '* Payroll 1.2.30 » modDb.SaveOrder, line 120' \
  'Error 11: Division by zero (è à ù «x»)' \
  '	tabbed' \
  '' \
  'The last line.' >"$report"
"$program" "$report"

pdf=
for _ in $(seq 150); do
  pdf=$(ls -t "$out"/*.pdf 2>/dev/null | grep -vxFf "$before" | head -n 1 || true)
  if [ -n "$pdf" ] && ! lpstat -o CobaltmothPDF 2>/dev/null | grep -q .; then break; fi
  sleep 0.2
done
[ -n "$pdf" ] || { echo "FAIL: no PDF in $out"; tail -n 20 "$dir/log/error_log"; exit 1; }
sleep 0.5
trap 'rm -f "$pdf"; cleanup' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The font: Courier, or the metric-identical Courier that Ghostscript substitutes.
fonts=$(pdffonts "$pdf" | tail -n +3 | awk '{print $1}')
echo "fonts: $fonts"
[ -n "$fonts" ] || fail "no font in the PDF"
grep -qvE '(^|\+)(Courier|NimbusMono)' <<<"$fonts" && fail "a font that is not Courier: $fonts"

# The words, with their boxes, in reading order.
pdftotext -bbox "$pdf" "$dir/words.html"
python3 - "$dir/words.html" "$report" <<'EOF' || failures=$((failures + 1))
import html, re, sys
words = [(float(a), float(b), float(c), float(d), html.unescape(w)) for a, b, c, d, w in
         re.findall(r'<word xMin="([\d.]+)" yMin="([\d.]+)" xMax="([\d.]+)" yMax="([\d.]+)">'
                    r'([^<]*)</word>', open(sys.argv[1], encoding='utf-8').read())]
report = open(sys.argv[2], encoding='utf-8', newline='').read().split('\r\n')
expected = [w for line in report for w in line.split()]
bad = 0
if [w[4] for w in words] != expected:
    print('FAIL: the text is not the report:', [w[4] for w in words], '!=', expected); bad += 1
for x0, y0, x1, y1, w in words:
    if abs((x1 - x0) - 7.2 * len(w)) > 0.05:  # 0.6 em a character at 12 pt
        print(f'FAIL: "{w}" is {x1 - x0:.2f} pt wide, not {7.2 * len(w):.2f}'); bad += 1
# Each report line's first word: 18 pt from the left (plus its leading blanks and tab),
# and the lines 12 pt apart.
tops, i = {}, 0
for n, line in enumerate(report):
    for k, w in enumerate(line.split()):
        if i < len(words) and k == 0:
            lead = len(line.expandtabs(8)) - len(line.expandtabs(8).lstrip())
            if abs(words[i][0] - (18 + 7.2 * lead)) > 0.05:
                print(f'FAIL: line {n + 1} starts at {words[i][0]:.2f} pt'); bad += 1
            tops[n] = words[i][1]
        i += 1
for n in tops:
    if n - 1 in tops and abs(tops[n] - tops[n - 1] - 12) > 0.05:
        print(f'FAIL: line {n + 1} is {tops[n] - tops[n - 1]:.2f} pt below the one above'); bad += 1
print(f'{len(words)} words checked in {len(tops)} lines')
sys.exit(1 if bad else 0)
EOF

# No printer: the user gets the spooler's own message.
lpadmin -x CobaltmothPDF
message=$("$program" "$report" || true)
echo "without a printer: $message"
grep -qE '^error 482: lp: .+' <<<"$message" || fail "no spooler message without a printer"
kill "$cupsd_pid"; wait "$cupsd_pid" 2>/dev/null || true
message=$("$program" "$report" || true)
echo "without a scheduler: $message"
grep -qE '^error 482: lp: .+' <<<"$message" || fail "no spooler message without a scheduler"

if [ "$failures" -ne 0 ]; then echo "print server test: $failures failures"; exit 1; fi
echo "print server test: passed"
