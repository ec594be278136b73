#!/bin/bash
# Installs what building and testing the proxy need on Debian 12; installs nothing that is there.
#   scripts/setup.sh          build tools, test tools and the peer rig (real game servers and client)
#   scripts/setup.sh --build  build tools only
#   scripts/setup.sh --windows  the Windows cross build and Wine (scripts/windows.sh)
#   scripts/setup.sh --package  the .deb and the .zip, and their checks (scripts/package.sh, CI)
# Runs apt-get as root, else through sudo; apt-get update runs at most once, and only when a
# package is missing. The peer rig is ../shared/peers beside the repository (SKOPOS_PEERS_DIR).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
peers=${SKOPOS_PEERS_DIR:-$root/../shared/peers}

build_pkgs=(cmake make g++ libgtest-dev)
# clang (the fuzzers, the second compiler), test tools, the rig's servers (its install.sh and
# install-qs.sh then find them present and skip apt), and the rig's real client
test_pkgs=(clang libclang-rt-14-dev python3 qstat darkplaces-server fteqcc openarena-085-data quakespasm gcc libc6-dev
  darkplaces xvfb xauth libgl1-mesa-dri)
windows_pkgs=(g++-mingw-w64-x86-64-posix googletest wine wine64)
# dpkg-shlibdeps finds the .deb's dependencies; groff checks the manual page, systemd-analyze the unit
package_pkgs=(dpkg-dev g++-mingw-w64-x86-64-posix groff-base man-db systemd unzip)

mode=all
case ${1:-} in
  --build) mode=build ;;
  --windows) mode=windows ;;
  --package) mode=package ;;
  "") ;;
  *) echo "usage: $0 [--build | --windows | --package]" >&2; exit 2 ;;
esac

pkgs=("${build_pkgs[@]}")
case $mode in
  all) pkgs+=("${test_pkgs[@]}") ;;
  windows) pkgs+=("${windows_pkgs[@]}") ;;
  package) pkgs+=("${package_pkgs[@]}") ;;
esac

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  sudo=""
  if [ "$(id -u)" != 0 ]; then
    command -v sudo >/dev/null || { echo "setup: need root or sudo to install: ${missing[*]}" >&2; exit 1; }
    sudo=sudo
  fi
  echo "setup: installing ${missing[*]}"
  log=$(mktemp)
  if ! { $sudo apt-get update -qq &&
         $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
           "${missing[@]}"; } >"$log" 2>&1; then
    cat "$log" >&2; rm -f "$log"
    echo "setup: apt-get failed" >&2; exit 1
  fi
  rm -f "$log"
fi

[ "$mode" = all ] || exit 0

if [ -f "$peers/install.sh" ]; then
  bash "$peers/install.sh"
  bash "$peers/install-qs.sh"
else
  echo "setup: no peer rig at $peers: the tests against real game servers will be skipped" >&2
fi
