#!/bin/bash
# Builds the proxy (installing the build tools when missing) and runs it with the given options:
#   scripts/run.sh [-p port] [-n name] [-d demoname] [-o observers] [-c c2sbps] [-s s2cbps]
#                  [-l localif] [-r remoteif]
# Build folder: $SKOPOS_BUILD_DIR (default build/). Ctrl-C ends the proxy.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${SKOPOS_BUILD_DIR:-$root/build}

bash "$root/scripts/setup.sh" --build
log=$(mktemp)
if ! { cmake -S "$root" -B "$build" && cmake --build "$build" -j2 --target skoposproxy; } >"$log" 2>&1; then
  cat "$log" >&2; rm -f "$log"; exit 1
fi
rm -f "$log"
exec "$build/skoposproxy" "$@"
