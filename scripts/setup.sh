#!/bin/bash
# Installs what building and testing the proxy need on Debian 12; installs nothing that is there.
#   scripts/setup.sh          build tools, test tools and the peer rig (peers/: real game servers and client)
#   scripts/setup.sh --build  build tools only
#   scripts/setup.sh --windows  the Windows cross build and Wine (scripts/windows.sh)
#   scripts/setup.sh --rig    the peer rig alone (peers/install.sh)
#   scripts/setup.sh --package  the .deb and the .zip, and their checks (scripts/package.sh, CI)
# Runs apt-get as root, else through sudo; apt-get update runs at most once, and only when a
# package is missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

build_pkgs=(cmake make g++ libgtest-dev)
# clang (the fuzzers, the second compiler) and the test tools
test_pkgs=(clang libclang-rt-14-dev python3)
windows_pkgs=(g++-mingw-w64-x86-64-posix googletest wine wine64)
# dpkg-shlibdeps finds the .deb's dependencies; groff checks the manual page, systemd-analyze the unit
package_pkgs=(dpkg-dev g++-mingw-w64-x86-64-posix groff-base man-db systemd unzip)

# The peer rig names its own packages (peers/install.sh), installed here with the rest in one apt run.
peer_rig_packages() {
  bash "$root/peers/install.sh" --packages
}
peer_rig_layout() {  # its game, levels and preload, built in $SKOPOS_RIG_HOME (default /tmp/skopos-peers)
  python3 "$root/peers/rig.py" layout
}

mode=all
case ${1:-} in
  --build) mode=build ;;
  --windows) mode=windows ;;
  --rig) mode=rig ;;
  --package) mode=package ;;
  "") ;;
  *) echo "usage: $0 [--build | --windows | --rig | --package]" >&2; exit 2 ;;
esac

pkgs=("${build_pkgs[@]}")
case $mode in
  all) mapfile -t rig_pkgs < <(peer_rig_packages); pkgs+=("${test_pkgs[@]}" "${rig_pkgs[@]}") ;;
  windows) pkgs+=("${windows_pkgs[@]}") ;;
  rig) mapfile -t pkgs < <(peer_rig_packages) ;;
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

case $mode in
  all | rig) peer_rig_layout ;;
esac
