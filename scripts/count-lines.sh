#!/bin/bash
# Prints the size of the test suite against the rest of the tree: non-blank lines of the tracked
# C++, Python, shell and CMake files under tests/ against all the others (fuzz/ and bench/ included).
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -- '*.cpp' '*.cc' '*.h' '*.hpp' '*.py' '*.sh' '*CMakeLists.txt' '*.cmake' |
  while read -r f; do
    [ -f "$f" ] || continue
    n=$(grep -cv '^[[:space:]]*$' "$f" || true)
    case $f in tests/*) echo "tests $n" ;; *) echo "code $n" ;; esac
  done |
  awk '{s[$1] += $2} END {printf "lines: tests %d, code %d, ratio %.2f\n", s["tests"], s["code"], s["tests"] / s["code"]}'
