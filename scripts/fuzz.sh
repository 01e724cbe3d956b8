#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan, UBSan) in build/fuzz and runs each for SECONDS
# (default 60), starting from the seed corpus in fuzz/corpus/<target>. New inputs collect in
# build/fuzz/corpus/<target>, crashes in build/fuzz/artifacts/, each run's output in
# build/fuzz/logs/<target>.log (its end is shown on a finding). Exits non-zero on a finding.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
if [ ! -f build/fuzz/build.ninja ]; then
  CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_FUZZ=ON >/dev/null
fi
cmake --build build/fuzz --target velmora_fuzz -j "$(nproc 2>/dev/null || echo 2)"
mkdir -p build/fuzz/artifacts build/fuzz/logs
status=0
for target in build/fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  seeds=fuzz/corpus/${name#fuzz_}
  corpus=build/fuzz/corpus/${name#fuzz_}
  log=build/fuzz/logs/$name.log
  mkdir -p "$corpus"
  echo "== $name for ${seconds}s"
  if "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/"$name"- \
      "$corpus" $( [ -d "$seeds" ] && echo "$seeds" ) >"$log" 2>&1; then
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "$log" | tr '\n' ' '
    echo
  else
    tail -n 60 "$log"
    echo "$name: FINDING (see build/fuzz/artifacts/ and $log)"
    status=1
  fi
done
exit $status
