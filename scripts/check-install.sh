#!/usr/bin/env bash
# Installs the Linux build into a scratch prefix and builds a small host against it twice:
# with CMake's find_package and with pkg-config. Both must link and run.
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=$(mktemp -d)
work=$(mktemp -d)
trap 'rm -rf "$prefix" "$work"' EXIT

cmake --install build/linux --prefix "$prefix" >/dev/null
cmake -S tests/install_consumer -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
LD_LIBRARY_PATH="$prefix/lib" "$work/cmake/consumer" "$work/cmake"

flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs cobaltmoth)
# shellcheck disable=SC2086
g++ tests/install_consumer/consumer.cpp $flags -o "$work/pc-consumer"
LD_LIBRARY_PATH="$prefix/lib" "$work/pc-consumer" "$work"
# The shared library exports its public classes and nothing of its internals.
exported=$(nm -DC --defined-only "$prefix"/lib*/libcobaltmoth.so)
grep -q ' cobaltmoth::ProcStac::EnterProc' <<<"$exported"
grep -q ' cobaltmoth::ProcBug::Raise' <<<"$exported"
internal=$(grep -E ' [A-Za-z] cobaltmoth::(platform|tracing|bughandling|support|report|host|text|members|strings|icons|screens)::' <<<"$exported" || true)
if [ -n "$internal" ]; then
  echo "the shared library exports internal symbols:" >&2
  head -n 5 <<<"$internal" >&2
  exit 1
fi

# The library carries its USDT probes for the system's tracers (platform/probes.hpp).
probes=$(readelf -n "$prefix"/lib*/libcobaltmoth.so |
         awk '/Provider: cobaltmoth$/ { getline; print $2 }' | sort | tr '\n' ' ')
if [ "$probes" != "enter exit raise " ]; then
  echo "libcobaltmoth.so lacks its probes cobaltmoth:enter, exit and raise (has: $probes)" >&2
  exit 1
fi

# The desktop windows' program sits where the installed library looks for it.
test -x "$prefix/libexec/cobaltmoth/cobaltmoth-ui"
if ldd "$prefix/libexec/cobaltmoth/cobaltmoth-ui" | grep -q libfltk; then
  echo "cobaltmoth-ui must not need libfltk at run time" >&2
  exit 1
fi
echo "installed package: find_package and pkg-config hosts ran; USDT probes in the library;" \
     "cobaltmoth-ui in libexec"
