#!/bin/bash
# The Windows build, tested on Linux: installs MinGW-w64 and Wine (scripts/setup.sh --windows),
# cross-builds skoposproxy.exe and proxy_tests.exe, checks that the program needs no DLL beyond
# Windows' own, runs the unit and scenario tests under Wine, then the end-to-end tests labelled
# `windows` of the Linux build against skoposproxy.exe under Wine.
#   scripts/windows.sh [CTEST ARGS...]
# Build folders: $SKOPOS_WINDOWS_BUILD_DIR (default build-windows/, with its Wine prefix in wine/),
# $SKOPOS_BUILD_DIR for the Linux build that holds the end-to-end tests (default build/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${SKOPOS_BUILD_DIR:-$root/build}
wbuild=${SKOPOS_WINDOWS_BUILD_DIR:-$root/build-windows}

bash "$root/scripts/setup.sh" --windows
cmake -S "$root" -B "$wbuild" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$wbuild" -j2 --target skoposproxy proxy_tests windows_smoke
imports=$(x86_64-w64-mingw32-objdump -p "$wbuild/skoposproxy.exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
for dll in $imports; do
  case ${dll,,} in
    kernel32.dll | msvcrt.dll | ws2_32.dll) ;;
    *) echo "skoposproxy.exe needs $dll, which Windows does not bring" >&2; exit 1 ;;
  esac
done
echo "skoposproxy.exe imports only" "${imports//$'\n'/ }"

export WINEPREFIX=${WINEPREFIX:-$wbuild/wine} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# One Wine server with its services for the whole run, started here: services started by a test's
# first proxy would inherit that test's output pipes and keep them open.
mkdir -p "$WINEPREFIX"
wineserver -p 2>/dev/null  # its exit would list every object still open
trap 'wineserver -k || true' EXIT
wine wineboot -i >/dev/null 2>&1 </dev/null

rc=0
echo "--- the Windows layer and proxy_tests.exe under Wine"
(cd "$wbuild" && wine "$wbuild/windows_smoke.exe") || rc=1
wine "$wbuild/tests/proxy_tests.exe" --gtest_brief=1 || rc=1

# The end-to-end tests are registered by the Linux build, which their --proxy option names.
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j2 --target skoposproxy
echo "--- end-to-end tests against skoposproxy.exe under Wine"
SKOPOS_PROXY_COMMAND="wine $(printf '%q' "$wbuild/skoposproxy.exe")"
export SKOPOS_PROXY_COMMAND
(cd "$build" && ctest --output-on-failure -L windows "$@") || rc=1
exit "$rc"
