#!/bin/bash
# Builds the packages into dist/: the Debian package (skoposproxy_VERSION_ARCH.deb, for /usr) and the
# Windows zip (skoposproxy-VERSION-win64.zip) from the MinGW-w64 cross build.
#   scripts/package.sh [deb] [zip]     (both without arguments)
# Installs what it needs (scripts/setup.sh --package). Build folders of their own, without tests:
# build-deb/ and build-zip/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=$root/build
dist=$root/dist
kinds=("$@")
((${#kinds[@]})) || kinds=(deb zip)

bash "$root/scripts/setup.sh" --package
mkdir -p "$dist"
options=(-DSKOPOS_TESTS=OFF -DSKOPOS_BENCH=OFF)
for kind in "${kinds[@]}"; do
  case $kind in
    deb)
      cmake -S "$root" -B "$prefix-deb" "${options[@]}" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
      cmake --build "$prefix-deb" -j2
      (cd "$prefix-deb" && cpack -G DEB -B "$dist")
      ;;
    zip)
      cmake -S "$root" -B "$prefix-zip" "${options[@]}" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
      cmake --build "$prefix-zip" -j2
      (cd "$prefix-zip" && cpack -G ZIP -B "$dist")
      ;;
    *) echo "usage: $0 [deb] [zip]" >&2; exit 2 ;;
  esac
done
rm -rf "$dist/_CPack_Packages"
ls -l "$dist"
