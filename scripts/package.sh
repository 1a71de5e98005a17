#!/usr/bin/env bash
# Builds the packages of a release, named with the project's version:
#   scripts/package.sh debian    build/debian/packages/*.deb: libcobaltmoth1, libcobaltmoth-dev,
#                                cobaltmoth-ui and cobaltmoth-tools
#   scripts/package.sh windows   build/mingw-x64/packages/cobaltmoth-VERSION-windows.zip: the
#                                kit for VB6 and VBA developers, with the 64-bit and the 32-bit
#                                Cobaltmoth.dll (whose type library the 64-bit writer makes)
# Installs the Debian packages that the build needs when missing, as the other scripts do.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
  debian)
    scripts/setup-debian.sh debian
    cmake --workflow --preset debian
    ;;
  windows)
    scripts/setup-debian.sh windows
    for preset in mingw-x64 mingw-x86; do
      cmake --preset "$preset" >/dev/null
      cmake --build --preset "$preset"
    done
    cpack --preset windows-kit
    ;;
  *) echo "usage: $0 debian|windows" >&2; exit 2 ;;
esac
