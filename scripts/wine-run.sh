#!/usr/bin/env bash
# Runs a Windows program under 64-bit Wine in a private, quiet prefix.
# Usage: scripts/wine-run.sh PROGRAM [ARGS...]
#   WINEPREFIX   the prefix (default: build/mingw-x64/wineprefix); made on first use
#   WINE         the wine program (default: /usr/lib/wine/wine64, else wine64, else wine)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$here/build/mingw-x64/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installers, no desktop integration.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml,winemenubuilder.exe=}"
export DISPLAY="${COBALTMOTH_WINE_DISPLAY:-}"
if [ -z "${WINE:-}" ]; then
  for candidate in /usr/lib/wine/wine64 wine64 wine; do
    if command -v "$candidate" >/dev/null 2>&1; then WINE=$candidate; break; fi
  done
fi
mkdir -p "$WINEPREFIX"
# Making a prefix is done once, under a lock, so that parallel tests share it.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$WINE" wineboot --init >/dev/null 2>&1 || true
      "${WINESERVER:-wineserver}" -w 2>/dev/null || true
    fi
  ) 9>"$WINEPREFIX.lock"
fi
exec "$WINE" "$@"
