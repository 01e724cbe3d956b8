#!/usr/bin/env bash
# Builds everything and runs every test: the native suite, the DLL's table check, the
# Windows-side tests under wine64 and the 32-bit routine tests under qemu-i386. Prints one
# summary line per build at the end.
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
echo
printf '%s\n' "${summary[@]}"
exit $status
