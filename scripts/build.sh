#!/usr/bin/env bash
# Configures and builds the four builds: native (Linux core, simulator, tool, tests),
# dll (the shipped 32-bit Windows mod), win64 (the Windows-side tests run under wine64) and
# i386 (the game's routines called as 32-bit code, tests run under qemu-i386).
# Usage: scripts/build.sh [native|dll|win64|i386 ...]   (default: all four)
set -euo pipefail
cd "$(dirname "$0")/.."
builds=("$@")
[ ${#builds[@]} -gt 0 ] || builds=(native dll win64 i386)
jobs=$(nproc 2>/dev/null || echo 2)
for b in "${builds[@]}"; do
  case "$b" in
    native) toolchain=() ;;
    dll)    toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake) ;;
    win64)  toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake) ;;
    i386)   toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/linux-i386.cmake) ;;
    *) echo "unknown build '$b' (native, dll, win64, i386)" >&2; exit 2 ;;
  esac
  if [ ! -f "build/$b/build.ninja" ]; then
    cmake -S . -B "build/$b" -G Ninja -DCMAKE_BUILD_TYPE=Release "${toolchain[@]}" >/dev/null
  fi
  echo "== building $b"
  cmake --build "build/$b" -j "$jobs"
done
