#!/usr/bin/env bash
# Builds everything and runs every test: the native suite, the DLL's table check, the
# Windows-side tests under wine64 and the 32-bit routine tests under qemu-i386, then every
# fuzz target briefly (FUZZ_SECONDS each, default 10; 0 skips them). Prints one summary line
# per build at the end.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh native dll win64 i386 || exit 1
jobs=$(nproc 2>/dev/null || echo 2)
status=0
summary=()
for b in native dll win64 i386; do
  echo "== testing $b"
  if (cd "build/$b" && ctest --output-on-failure -j "$jobs"); then
    summary+=("$b: all tests passed")
  else
    summary+=("$b: FAILED")
    status=1
  fi
done
fuzz_seconds=${FUZZ_SECONDS:-10}
if [ "$fuzz_seconds" -gt 0 ]; then
  echo "== fuzzing every target for ${fuzz_seconds}s"
  fuzz_start=$(date +%s)
  if scripts/fuzz.sh "$fuzz_seconds"; then
    summary+=("fuzz: every target ran clean (${fuzz_seconds}s each, $(( $(date +%s) - fuzz_start ))s with the build)")
  else
    summary+=("fuzz: FINDING or build failure (see build/fuzz/artifacts/)")
    status=1
  fi
fi
echo
printf '%s\n' "${summary[@]}"
exit $status
