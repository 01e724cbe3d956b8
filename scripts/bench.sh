#!/usr/bin/env bash
# Builds the native tree in Release and runs every benchmark program in build/native/bench/.
# Extra arguments go to each program (e.g. --benchmark_filter=full).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -f build/native/CMakeCache.txt ] && ! grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' build/native/CMakeCache.txt; then
  cmake -S . -B build/native -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
scripts/build.sh native
status=0
found=0
for p in build/native/bench/*; do
  [ -f "$p" ] && [ -x "$p" ] || continue
  found=1
  echo "== $(basename "$p")"
  "$p" "$@" || status=1
done
[ $found -eq 1 ] || { echo "no benchmark programs in build/native/bench/ (is libbenchmark-dev installed?)" >&2; exit 1; }
exit $status
