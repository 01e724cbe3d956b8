#!/usr/bin/env bash
# Builds the native tree in Release and runs every benchmark program in build/native/bench/, then
# prints one table of every figure beside its goal (scripts/bench_table.py).
# Extra arguments go to each program (e.g. --benchmark_filter=full).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -f build/native/CMakeCache.txt ] && ! grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' build/native/CMakeCache.txt; then
  cmake -S . -B build/native -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
scripts/build.sh native
out=$(mktemp -d "${TMPDIR:-/tmp}/velmora-bench.XXXXXX")
trap 'rm -rf "$out"' EXIT
status=0
found=0
for p in build/native/bench/*; do
  [ -f "$p" ] && [ -x "$p" ] || continue
  found=1
  name=$(basename "$p")
  echo "== $name"
  if [ "$name" = bench_link ]; then
    # Not a Google Benchmark program: the table reads its printed lines.
    "$p" "$@" | tee "$out/$name.txt" || { status=1; touch "$out/$name.failed"; }
  else
    # The console output stays as it was; the JSON copy is for the table.
    "$p" "$@" --benchmark_out="$out/$name.json" --benchmark_out_format=json ||
      { status=1; touch "$out/$name.failed"; }
  fi
done
[ $found -eq 1 ] || { echo "no benchmark programs in build/native/bench/ (is libbenchmark-dev installed?)" >&2; exit 1; }
echo
python3 scripts/bench_table.py "$out" || status=1
exit $status
