#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan, UBSan) in build/fuzz and runs each for SECONDS
# (default 60), starting from the seed corpus in fuzz/corpus/<target>. New inputs collect in
# build/fuzz/corpus/<target>, crashes in build/fuzz/artifacts/. Exits non-zero on a finding.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
if [ ! -f build/fuzz/build.ninja ]; then
  CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_FUZZ=ON >/dev/null
fi
cmake --build build/fuzz --target velmora_fuzz -j "$(nproc 2>/dev/null || echo 2)"
mkdir -p build/fuzz/artifacts
status=0
for target in build/fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  seeds=fuzz/corpus/${name#fuzz_}
  corpus=build/fuzz/corpus/${name#fuzz_}
  mkdir -p "$corpus"
  echo "== $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/"$name"- \
      "$corpus" $( [ -d "$seeds" ] && echo "$seeds" ); then
    echo "$name: FINDING (see build/fuzz/artifacts/)"
    status=1
  fi
done
exit $status
