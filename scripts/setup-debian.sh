#!/usr/bin/env bash
# Installs the Debian packages that the named job needs, when any is missing.
# Usage: scripts/setup-debian.sh demo|test|debian|windows
#   demo     the Linux build (scripts/run-demo.sh)
#   debian   the Linux build and the Debian packages (scripts/package.sh debian)
#   windows  the Windows build and its kit (scripts/package.sh windows)
#   test     everything scripts/test.sh runs
set -euo pipefail

# cobaltmoth-ui links FLTK statically; the X libraries below are what libfltk.a needs, and
# Liberation fonts give the windows Arial's and Courier New's metrics. systemtap-sdt-dev
# gives the library its USDT probes (<sys/sdt.h>); libdw (elfutils) names a crash's frames.
packages=(cmake ninja-build g++ pkg-config python3 libsqlite3-dev systemtap-sdt-dev libdw-dev
          libfltk1.3-dev libx11-dev libxext-dev libxft-dev libxinerama-dev libxcursor-dev
          libxfixes-dev libxrender-dev libfontconfig-dev fonts-liberation)
windows=(cmake ninja-build python3 googletest g++-mingw-w64-x86-64-posix
         g++-mingw-w64-i686-posix wine wine64)
case "${1:-demo}" in
  demo) ;;
  debian) packages+=(dpkg-dev file) ;;
  windows) packages=("${windows[@]}") ;;
  test)
    packages+=("${windows[@]}" clang libclang-rt-14-dev libgtest-dev libbenchmark-dev
               libspdlog-dev cups cups-pdf cups-client poppler-utils
               xvfb xdotool xclip x11-utils imagemagick locales
               fonts-wqy-microhei fonts-noto-color-emoji dpkg-dev file lintian doxygen git
               systemd rsyslog libcurl4-openssl-dev openssl curl iproute2 nodejs)
    ;;
  *) echo "usage: $0 demo|test|debian|windows" >&2; exit 2 ;;
esac

sudo=()
if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi

# The tests write dates in an Italian and a German locale as a user there would see them.
generate_locales() {
  [ "${1:-demo}" = test ] || return 0
  local wanted=(it_IT.UTF-8 de_DE.UTF-8) have
  have=$(locale -a 2>/dev/null | tr 'A-Z' 'a-z' | sed 's/utf-8/utf8/')
  local missing_locales=()
  for l in "${wanted[@]}"; do
    echo "$have" | grep -qx "$(echo "$l" | tr 'A-Z' 'a-z' | sed 's/utf-8/utf8/')" ||
      missing_locales+=("$l")
  done
  [ ${#missing_locales[@]} -eq 0 ] && return 0
  for l in "${missing_locales[@]}"; do
    "${sudo[@]}" sed -i "s/^# *\($l UTF-8\)/\1/" /etc/locale.gen
    grep -q "^$l UTF-8" /etc/locale.gen || echo "$l UTF-8" | "${sudo[@]}" tee -a /etc/locale.gen >/dev/null
  done
  "${sudo[@]}" locale-gen >/dev/null
}

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
generate_locales "${1:-demo}"

# The error-tracker tests use the trackers' envelope parser and development receiver from npm,
# pinned in tests/services/tracker/package-lock.json; npm ci runs again when the lock changes.
# They need Node.js 20 or later, as this kind of machine comes with (Debian 12's own is 18).
install_tracker_packages() {
  [ "${1:-demo}" = test ] || return 0
  command -v npm >/dev/null || DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq \
    --no-install-recommends npm >/dev/null
  node -e 'process.exit(process.versions.node.split(".")[0] < 20 ? 1 : 0)' ||
    { echo "the tracker tests need Node.js 20 or later, not $(node -v)" >&2; exit 1; }
  local here
  here="$(dirname "$0")/../tests/services/tracker"
  cmp -s "$here/package-lock.json" "$here/node_modules/.installed-lock" && return 0
  (cd "$here" && npm ci --ignore-scripts --no-audit --no-fund --prefer-offline >/dev/null &&
   cp package-lock.json node_modules/.installed-lock)
}
install_tracker_packages "${1:-demo}"
