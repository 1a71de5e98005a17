#!/usr/bin/env bash
# Uses Cobaltmoth as its users get it, with a small host project (tests/install_consumer) and
# the README's C++ example:
#   prefix       the Linux build installed into a scratch prefix: the host built with
#                find_package and with pkg-config and run; the library's exports and USDT
#                probes; cobaltmoth-ui and cobaltmoth-send in libexec, libcurl in the sender alone
#   subproject   a clean checkout of this commit inside a host project, where only a compiler
#                and SQLite may be needed: configured with add_subdirectory, built with
#                FetchContent (nothing but the libraries) and run
#   debian       the Debian packages (scripts/package.sh debian): lintian finds no error; the
#                packages installed with dpkg; the host and the README's example built with
#                find_package and with pkg-config as any user would, with no path given; an
#                error raised through the installed cobaltmoth-ui under Xvfb; the packages
#                removed again
#   windows-kit  the Windows kit (scripts/package.sh windows) under Wine: unzipped, its 64-bit
#                DLL (cobaltmoth-send.exe beside it) registered from there, the VB6 project's
#                reference registered by it, the VBA sample module run by cscript, which stands
#                in for VBA; unregistered
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(cobaltmoth VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
consumer=tests/install_consumer
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sudo=()
if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi

# run_host PROGRAM [ENV...]: the host must trace into a folder and print this release.
run_host() {
  local out
  out=$(env "${@:2}" "$1" "$work")
  [ "$out" = "consumer of $version: dump ok, log ok" ] || { echo "$1: $out" >&2; return 1; }
}

readme_example() {  # the first C++ block of the README
  awk '/^```cpp$/ { n++; if (n == 1) { on = 1; next } } /^```$/ { on = 0 } on' README.md \
    >"$work/readme_example.cpp"
  grep -q 'int main' "$work/readme_example.cpp"
}

prefix() {
  local prefix="$work/prefix" flags
  cmake --install build/linux --prefix "$prefix" >/dev/null
  cmake -S "$consumer" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$work/cmake" >/dev/null
  run_host "$work/cmake/consumer" LD_LIBRARY_PATH="$prefix/lib"
  flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs cobaltmoth)
  # shellcheck disable=SC2086
  g++ -std=c++20 "$consumer/consumer.cpp" $flags -o "$work/pc-consumer"
  run_host "$work/pc-consumer" LD_LIBRARY_PATH="$prefix/lib"
  # The .pc file leaves the language to the host; the headers say what they need.
  if grep -q -- -std= <<<"$flags"; then echo "cobaltmoth.pc sets the C++ standard" >&2; exit 1; fi
  # shellcheck disable=SC2086
  if ! grep -q "need C++20" <<<"$(g++ -std=c++17 -fsyntax-only "$consumer/consumer.cpp" \
                                   $flags 2>&1 || true)"; then
    echo "the headers compiled as C++17 do not say that they need C++20" >&2
    exit 1
  fi
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
  # The tracker's sender sits beside it, and only the sender links libcurl.
  test -x "$prefix/libexec/cobaltmoth/cobaltmoth-send"
  if ldd "$prefix"/lib*/libcobaltmoth.so | grep -q libcurl; then
    echo "libcobaltmoth.so must not link libcurl" >&2
    exit 1
  fi
  echo "installed in a prefix: find_package and pkg-config hosts ran; USDT probes in the" \
       "library; cobaltmoth-ui and cobaltmoth-send in libexec, libcurl in the sender alone"
}

subproject() {
  local hidden=() targets
  # Every package the project can look for, but SQLite, is hidden: none may be required.
  for package in GTest benchmark spdlog Python3 X11 Fontconfig Threads Doxygen; do
    hidden+=("-DCMAKE_DISABLE_FIND_PACKAGE_$package=ON")
  done
  git clone -q . "$work/checkout"
  cmake -S "$consumer" -B "$work/sub" -G Ninja --no-warn-unused-cli -DCOBALTMOTH_FROM=source \
        -DCOBALTMOTH_SOURCE="$work/checkout" "${hidden[@]}" >/dev/null
  cmake -S "$consumer" -B "$work/fetch" -G Ninja --no-warn-unused-cli -DCOBALTMOTH_FROM=fetch \
        -DCOBALTMOTH_SOURCE="$work/checkout" -DCOBALTMOTH_TAG="$(git rev-parse HEAD)" \
        "${hidden[@]}" >/dev/null
  targets=$(cmake --build "$work/fetch" --target help)
  if grep -E 'cobaltmoth-(ui|reg)|payroll|_tests|_bench' <<<"$targets"; then
    echo "a subproject builds more than the libraries by default" >&2
    exit 1
  fi
  cmake --build "$work/fetch" >/dev/null
  run_host "$work/fetch/consumer"
  echo "as a subproject: add_subdirectory configured, FetchContent built and ran, with only" \
       "a compiler and SQLite"
}

names=()  # the Debian packages installed, for the exit to remove

debian() {
  local debs=(build/debian/packages/*_"$version"-1_*.deb) flags
  [ ${#debs[@]} -eq 4 ] || { echo "expected four packages of $version: ${debs[*]}" >&2; exit 1; }
  lintian --fail-on error "${debs[@]}"
  for deb in "${debs[@]}"; do names+=("$(dpkg-deb -f "$deb" Package)"); done
  "${sudo[@]}" dpkg -i "${debs[@]}" >/dev/null
  trap '"${sudo[@]}" dpkg --purge "${names[@]}" >/dev/null; rm -rf "$work"' EXIT
  readme_example
  cmake -S "$consumer" -B "$work/deb" -G Ninja -DREADME_EXAMPLE="$work/readme_example.cpp" \
        >/dev/null
  cmake --build "$work/deb" >/dev/null
  run_host "$work/deb/consumer"
  flags=$(pkg-config --cflags --libs cobaltmoth)
  # shellcheck disable=SC2086
  g++ -std=c++20 "$consumer/consumer.cpp" $flags -o "$work/pc-consumer"
  # shellcheck disable=SC2086
  g++ -std=c++20 "$work/readme_example.cpp" $flags -o "$work/pc-readme-example"
  run_host "$work/pc-consumer"
  # The message box of an error, drawn by the installed cobaltmoth-ui; Enter presses OK.
  # shellcheck disable=SC2016
  xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" env -u COBALTMOTH_UI \
    -u COBALTMOTH_UI_PROGRAM LC_ALL=C.UTF-8 bash -c '
      set -e
      "$1" "$2" raise & host=$!
      box=$(timeout 30 xdotool search --sync --onlyvisible --name "Unexpected error$" || true)
      ui=$(readlink "/proc/$(pgrep -P "$host" -x cobaltmoth-ui)/exe" || true)
      [ -n "$box" ] || { kill "$host"; echo "no message box on the display" >&2; exit 1; }
      timeout 10 xdotool windowfocus --sync "$box" key Return
      wait "$host"
      [ "$ui" = /usr/libexec/cobaltmoth/cobaltmoth-ui ] || { echo "drawn by $ui" >&2; exit 1; }
    ' raise "$work/pc-consumer" "$work"
  "${sudo[@]}" dpkg --purge "${names[@]}" >/dev/null
  trap 'rm -rf "$work"' EXIT
  if dpkg-query -W -f='${Status}\n' "${names[@]}" 2>/dev/null | grep -q ' installed'; then
    echo "the packages are still installed" >&2
    exit 1
  fi
  echo "Debian packages: no lintian error; installed, the README's example and the host built" \
       "with find_package and pkg-config, an error shown by the installed cobaltmoth-ui; removed"
}

windows_kit() {
  local kit dll vbp reference
  python3 -m zipfile -e "build/mingw-x64/packages/cobaltmoth-$version-windows.zip" "$work"
  kit="$work/cobaltmoth-$version-windows"
  dll="Z:$(tr / '\\' <<<"$kit")\\x64\\Cobaltmoth.dll"
  test -f "$kit/x64/cobaltmoth-send.exe"  # the DLL starts it from its own folder
  scripts/wine-run.sh regsvr32 /s "$dll"
  local key='HKLM\Software\Microsoft\Windows\CurrentVersion'  # the report's owner
  scripts/wine-run.sh reg add "$key" /v RegisteredOwner /d "Ada Lovelace" /f >/dev/null
  scripts/wine-run.sh reg add "$key" /v RegisteredOrganization /d "Orders Ltd" /f >/dev/null
  # The VB6 project refers to the library by identity and version, which registration wrote.
  vbp=$(tr -d '\r' <"$kit/samples/vb6/Orders.vbp")
  reference=$(sed -n 's/^Reference=\*\\G\({[0-9A-F-]*}\)#\([0-9.]*\)#.*Cobaltmoth.dll#.*/\1\\\2/p' \
              <<<"$vbp")
  scripts/wine-run.sh reg query "HKCR\\TypeLib\\$reference" >/dev/null
  python3 tests/windows/vba_as_vbscript.py "$kit/samples/CobaltmothSample.bas" \
    >"$work/kit_sample.vbs"
  python3 tests/windows/run_vbs.py scripts/wine-run.sh "$work/kit_sample.vbs" \
    tests/windows/golden "$work/sample"
  scripts/wine-run.sh regsvr32 /s /u "$dll"
  echo "Windows kit: unzipped, registered from its folder, the VB6 reference registered, the" \
       "sample module run"
}

case "${1:-prefix}" in
  prefix | subproject | debian) "$1" ;;
  windows-kit) windows_kit ;;
  *) echo "usage: $0 prefix|subproject|debian|windows-kit" >&2; exit 2 ;;
esac
