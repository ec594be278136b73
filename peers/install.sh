#!/bin/bash
# Installs the peer rig on Debian 12: the Debian packages it runs (those missing, as root or through
# sudo, by scripts/setup.sh --rig), then its game, levels and preload in $SKOPOS_RIG_HOME
# (rig.py layout).
#   peers/install.sh             install
#   peers/install.sh --packages  print the packages, one a line, and install nothing
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# servers and the tools they need (qstat's binary is quakestat; gcc builds the bind preload), the
# OpenArena maps DarkPlaces plays, and the real client with its headless display
packages=(darkplaces-server quakespasm qstat fteqcc gcc libc6-dev python3 openarena-085-data
  darkplaces xvfb xauth libgl1-mesa-dri)

if [ "${1:-}" = --packages ]; then
  printf '%s\n' "${packages[@]}"
else
  bash "$here/../scripts/setup.sh" --rig
fi
