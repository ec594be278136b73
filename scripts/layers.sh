#!/bin/bash
# Prints which folders of the proxy include which, and fails when a file includes a header of a
# folder above its own. The order, top to bottom (a folder may include its own and those below):
#   core/loop, core/startup, core/main (the driver) > console > session > relay > demo > observers
#   > net > the rest of core (settings, print, clock) > platform
set -euo pipefail
cd "$(dirname "$0")/.."

layer() {  # FILE: its place in the order, the driver highest
  case $1 in
    core/loop.* | core/startup.* | core/main.*) echo "9 driver" ;;
    console/*) echo "8 console" ;;
    session/*) echo "7 session" ;;
    relay/*) echo "6 relay" ;;
    demo/*) echo "5 demo" ;;
    observers/*) echo "4 observers" ;;
    net/*) echo "3 net" ;;
    core/*) echo "2 core" ;;
    platform/*) echo "1 platform" ;;
    *) echo "0 -" ;;
  esac
}

failed=0
edges=()
while read -r file; do
  read -r rank folder < <(layer "$file")
  while read -r header; do
    read -r hrank hfolder < <(layer "$header")
    ((hrank == 0)) && continue
    [ "$hfolder" != "$folder" ] && edges+=("$folder $hfolder")
    if ((hrank > rank)); then
      echo "layers: $file includes $header, of a folder above its own"
      failed=1
    fi
  done < <(sed -n 's/^#include "\(.*\)".*/\1/p' "$file")
done < <( (git ls-files -- core console session relay demo observers net platform 2>/dev/null ||
  find core console session relay demo observers net platform -type f) | grep -E '\.(cpp|h)$')

for folder in driver console session relay demo observers net core platform; do
  below=$(printf '%s\n' "${edges[@]}" | awk -v f="$folder" '$1 == f {print $2}' | sort -u | tr '\n' ' ')
  echo "$folder -> ${below:-(nothing)}"
done
exit "$failed"
