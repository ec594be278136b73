#!/bin/bash
# Tries the proxy without a game server of your own: starts a server of the peer rig (peers/) and the
# proxy on this machine and says how to point a Quake client at the proxy; with a display ($DISPLAY)
# it also starts the real DarkPlaces client in a window, joined to the server through the proxy.
# Ctrl-C (or closing the client) ends them all.
#   scripts/try.sh [darkplaces | quakespasm] [PROXY OPTIONS...]     e.g. scripts/try.sh quakespasm -D 10
# The proxy listens on $SKOPOS_TRY_PORT (default 26000), the server on the next port; both on
# 127.0.0.1 only. Demos the proxy records land where the client plays them: `playdemo NAME01`.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${SKOPOS_BUILD_DIR:-$root/build}
kind=darkplaces
case ${1:-} in
  darkplaces | quakespasm) kind=$1; shift ;;
esac
port=${SKOPOS_TRY_PORT:-26000}
server_port=$((port + 1))
rig() { python3 "$root/peers/rig.py" "$@"; }

bash "$root/scripts/setup.sh" --build
bash "$root/peers/install.sh" >/dev/null
log=$(mktemp)
if ! { cmake -S "$root" -B "$build" && cmake --build "$build" -j2 --target skoposproxy; } >"$log" 2>&1; then
  cat "$log" >&2; rm -f "$log"; exit 1
fi
rm -f "$log"

games=${SKOPOS_RIG_HOME:-/tmp/skopos-peers}/client
mkdir -p "$games/id1"
proxy=""
cleanup() {
  [ -n "$proxy" ] && kill "$proxy" 2>/dev/null && wait "$proxy" 2>/dev/null
  rig stop "$server_port" >/dev/null 2>&1 || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

rig start "$kind" "$server_port"
(cd "$games/id1" && exec "$build/skoposproxy" -p "$port" -l 127.0.0.1 -r 127.0.0.1 -o 2 "$@") &
proxy=$!
sleep 0.5
kill -0 "$proxy" 2>/dev/null || exit 1

cat <<EOF

The proxy listens on 127.0.0.1:$port, the rig's $kind server on 127.0.0.1:$server_port.
In a Quake client on this machine (console: the key under Esc):
    connect 127.0.0.1:$port
    say proxy:connect 127.0.0.1:$server_port
then "say proxy:help" for the proxy's commands. A second client that connects to 127.0.0.1:$port
watches your game as an observer.
EOF

if [ -n "${DISPLAY:-}" ]; then
  echo "Starting the DarkPlaces client; close it or press Ctrl-C here to end."
  rig client "$port" --window --name player +defer 2 "say proxy:connect 127.0.0.1:$server_port"
else
  echo "(No display: set DISPLAY to have the DarkPlaces client started; or probe it from the command line:"
  echo "    python3 peers/probe.py --port $port --say \"proxy:connect 127.0.0.1:$server_port\" --verbose)"
  echo "Ctrl-C ends the proxy and the server."
  wait "$proxy"
fi
