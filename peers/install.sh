#!/bin/bash
# Installs the peer rig on Debian 12: the Debian packages it runs (when missing; as root or through
# sudo), then lays out its game, levels and preload in $SKOPOS_RIG_HOME (rig.py layout).
#   peers/install.sh             servers, tools and the real client
#   peers/install.sh --packages  print the packages, one a line, and install nothing
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# servers and the tools they need (qstat's binary is quakestat; gcc builds the bind preload), the
# OpenArena maps DarkPlaces plays, and the real client with its headless display
packages=(darkplaces-server quakespasm qstat fteqcc gcc libc6-dev python3 openarena-085-data
  darkplaces xvfb xauth libgl1-mesa-dri)

if [ "${1:-}" = --packages ]; then
  printf '%s\n' "${packages[@]}"; exit 0
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  if [ "$(id -u)" != 0 ]; then
    command -v sudo >/dev/null || { echo "rig: need root or sudo to install: ${missing[*]}" >&2; exit 1; }
    sudo=sudo
  fi
  echo "rig: installing ${missing[*]}"
  $sudo apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
python3 "$here/rig.py" layout
