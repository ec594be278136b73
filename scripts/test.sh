#!/bin/bash
# Sets up this machine (scripts/setup.sh), builds the proxy and its tests, and runs the whole suite:
# unit and scenario tests, the real binary on loopback, and games against the real servers.
#   scripts/test.sh [CTEST ARGS...]      e.g. scripts/test.sh -L e2e, scripts/test.sh -R startup
# Build folder: $SKOPOS_BUILD_DIR (default build/); extra CMake options: $SKOPOS_CMAKE_ARGS.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${SKOPOS_BUILD_DIR:-$root/build}

bash "$root/scripts/setup.sh"
# shellcheck disable=SC2086  # the extra options are meant to split into words
cmake -S "$root" -B "$build" ${SKOPOS_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j2
cd "$build"
ctest --output-on-failure -j2 "$@"
