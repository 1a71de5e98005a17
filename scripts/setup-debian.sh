#!/usr/bin/env bash
# Installs the Debian packages that the named jobs need, when any is missing.
# Usage: scripts/setup-debian.sh demo|test
set -euo pipefail

# cobaltmoth-ui links FLTK statically; the X libraries below are what libfltk.a needs, and
# Liberation fonts give the windows Arial's and Courier New's metrics. systemtap-sdt-dev
# gives the library its USDT probes (<sys/sdt.h>).
packages=(cmake ninja-build g++ pkg-config python3 libsqlite3-dev systemtap-sdt-dev
          libfltk1.3-dev libx11-dev libxext-dev libxft-dev libxinerama-dev libxcursor-dev
          libxfixes-dev libxrender-dev libfontconfig-dev fonts-liberation)
case "${1:-demo}" in
  demo) ;;
  test)
    packages+=(clang libclang-rt-14-dev googletest libgtest-dev libbenchmark-dev
               libspdlog-dev g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64
               cups cups-pdf cups-client poppler-utils
               xvfb xdotool xclip x11-utils imagemagick)
    ;;
  *) echo "usage: $0 demo|test" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
  "${missing[@]}" >/dev/null
