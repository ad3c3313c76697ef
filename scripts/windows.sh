#!/usr/bin/env bash
# Windows builds, made on Linux with MinGW-w64:
#   - the 32-bit DLL (i686), checked: every exported class in its export table,
#     only system DLLs in its import table;
#   - the 64-bit build (x86_64) of the library, the tools and the test suite,
#     whose fast tier then runs under Wine.
# Installs what a fresh Debian machine lacks first (as root, or through sudo).
# Usage: scripts/windows.sh [win32-build-dir] [win64-build-dir]
#        (default: build-win32 and build-win64)
# Environment: ZR_TEST_LABEL (default fast) selects the tier run under Wine;
# ZR_JOBS sets the build and test parallelism.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build32="${1:-$here/build-win32}"
build64="${2:-$here/build-win64}"
jobs="${ZR_JOBS:-$(nproc)}"
start=$SECONDS

"$here/scripts/setup.sh" g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine64

echo "== i686: the 32-bit DLL"
cmake -S "$here" -B "$build32" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchains/i686-w64-mingw32.cmake" \
  -DZODARURUVIZI_BUILD_TESTS=OFF -DZODARURUVIZI_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build32" -j "$jobs" --target zodaruruvizi
bash "$here/scripts/check-dll-exports.sh" "$build32/bin/zodaruruvizi.dll" i686-w64-mingw32-objdump

echo "== x86_64: library, tools and tests"
cmake -S "$here" -B "$build64" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchains/x86_64-w64-mingw32.cmake" >/dev/null
cmake --build "$build64" -j "$jobs"
echo "   (built in $((SECONDS - start)) s)"

echo "== x86_64: the ${ZR_TEST_LABEL:-fast} tier under Wine"
wine64="$(sed -n 's/^ZR_WINE64:FILEPATH=//p' "$build64/CMakeCache.txt")"
if [ -z "$wine64" ] || [ ! -x "$wine64" ]; then
    echo "windows.sh: wine64 not found (package wine64)" >&2
    exit 1
fi
wineserver="$(dirname "$wine64")/wineserver"
export WINEPREFIX
WINEPREFIX="$(sed -n 's/^ZR_WINEPREFIX:PATH=//p' "$build64/CMakeCache.txt")"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The first Wine process starts background services that would keep CTest's
# output pipe open: a persistent server and a warm-up command, with its output
# elsewhere, start them before CTest does.
mkdir -p "$WINEPREFIX"
"$wineserver" -p
trap '"$wineserver" -k 2>/dev/null || true' EXIT
"$wine64" cmd /c exit >/dev/null 2>&1 </dev/null || true
test_start=$SECONDS
ctest --test-dir "$build64" --output-on-failure -j "$jobs" -L "^${ZR_TEST_LABEL:-fast}\$"
echo "== Wine test run: $((SECONDS - test_start)) s; windows.sh: $((SECONDS - start)) s"
