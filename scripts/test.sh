#!/usr/bin/env bash
# The whole test run: unit tests in the normal and in the ASan+UBSan build, the API reference,
# a short fuzz run, the library used by host projects (installed, as a subproject, from its
# Debian packages), and the Windows component Cobaltmoth.dll built with mingw-w64 (x86-64
# tested under Wine 64, i686 built and checked) and its kit. Warnings are errors.
# FUZZ_SECONDS sets the fuzz run's length.
# The desktop tests run cobaltmoth-ui under a private Xvfb (here they must not be skipped) and
# leave screenshots of both windows in build/linux/test-output/desktop; the delivery tests run a
# private journald and rsyslogd (tests/services/).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh test

export COBALTMOTH_REQUIRE_DESKTOP=1
# The delivery tests' services (journald and rsyslogd in namespaces of their own, as root;
# the tracker's receiver) must run here, not be skipped.
export COBALTMOTH_REQUIRE_SERVICES=1
jobs=$(nproc)
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT

run_ctest() {  # preset
  ctest --preset "$1" -j "$jobs" 2>&1 | tee -a "$summary" | tail -n 3
}

echo "== Size of the tests against the product (at most 35%)"
python3 scripts/code-size.py --max 35

echo "== The house: one direction, namespaces that follow the folders"
python3 scripts/check-layout.py

echo "== Linux build and unit tests"
on=(-DCOBALTMOTH_WERROR=ON -DCOBALTMOTH_BUILD_TESTS=ON -DCOBALTMOTH_BUILD_EXAMPLES=ON)
cmake --preset linux "${on[@]}" -DCOBALTMOTH_BUILD_BENCHMARKS=ON >/dev/null
cmake --build --preset linux -j "$jobs"
run_ctest linux
echo "Screenshots of the desktop windows: build/linux/test-output/desktop/"

echo "== API reference of the public headers (Doxygen; a warning is an error)"
cmake --build --preset linux --target cobaltmoth_docs

echo "== Printing through a real print server (CUPS with a PDF queue)"
scripts/ci-printer-test.sh build/linux/tests/cobaltmoth_print_text

echo "== ASan+UBSan build and unit tests"
cmake --preset linux-asan "${on[@]}" >/dev/null
cmake --build --preset linux-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest linux-asan

echo "== Fuzzing the parsers of untrusted bytes (the helper channel, .desktop files, UTF-8) for ${FUZZ_SECONDS:-60} s"
fuzz/run.sh "${FUZZ_SECONDS:-60}"

echo "== Installed in a prefix: find_package and pkg-config"
scripts/check-install.sh prefix

echo "== As a subproject: add_subdirectory and FetchContent, with only a compiler and SQLite"
scripts/check-install.sh subproject

echo "== Debian packages: built, checked by lintian, installed, used and removed"
scripts/package.sh debian >/dev/null
scripts/check-install.sh debian

echo "== Windows x86-64: Cobaltmoth.dll and its tests under Wine 64"
cmake --preset mingw-x64 -DCOBALTMOTH_WERROR=ON >/dev/null
cmake --build --preset mingw-x64 -j "$jobs"
run_ctest mingw-x64

echo "== Windows i686: Cobaltmoth.dll built and checked without running it (no 32-bit execution)"
cmake --preset mingw-x86 -DCOBALTMOTH_WERROR=ON >/dev/null
cmake --build --preset mingw-x86 -j "$jobs"
# Its imports, and its exports as the stdcall functions of their argument bytes.
python3 tests/windows/check_imports.py i686-w64-mingw32-objdump build/mingw-x86/Cobaltmoth.dll
# Every method of the COM interfaces is declared stdcall, so that an override without it fails.
if grep -n 'virtual' component/com/com_interfaces.hpp | grep -v STDMETHODCALLTYPE; then
  echo "a COM interface method without the COM calling convention" >&2
  exit 1
fi
# Its type library, read from the DLL by the 64-bit client.
COBALTMOTH_DLL32="Z:$(pwd | tr / '\\')\\build\\mingw-x86\\Cobaltmoth.dll" scripts/wine-run.sh \
  build/mingw-x64/tests/windows/cobaltmoth_com_client_tests.exe --gtest_brief=1 \
  --gtest_filter=TypeLibrary.ReadBackAsTheMemberTableHasIt

echo "== Windows kit: packed, unzipped, registered, the VBA sample run"
scripts/package.sh windows >/dev/null
scripts/check-install.sh windows-kit

passed=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\)/\2 \1/p' "$summary" |
         awk '{p += $1 - $2; f += $2} END {print p " passed, " f " failed"}')
echo "tests: $passed"
