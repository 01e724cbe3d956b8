#!/usr/bin/env bash
# Builds the native tree under sanitizers and runs its ctest suite:
#   asan  AddressSanitizer with UndefinedBehaviorSanitizer, in build/asan
#   tsan  ThreadSanitizer (the sync worker thread beside the game thread), in build/tsan
# Any report fails the run. CC/CXX pick the compiler (default gcc/g++; clang works too).
# Usage: scripts/sanitize.sh [asan|tsan|all]   (default: all)
set -uo pipefail
cd "$(dirname "$0")/.."
which=${1:-all}
case "$which" in
  asan) runs=(asan) ;;
  tsan) runs=(tsan) ;;
  all)  runs=(asan tsan) ;;
  *) echo "usage: scripts/sanitize.sh [asan|tsan|all]" >&2; exit 2 ;;
esac
jobs=$(nproc 2>/dev/null || echo 2)
export CC=${CC:-gcc} CXX=${CXX:-g++}

# Not run here:
# - test_protect_gate32, test_animals_hooks32: static -m32 programs run under qemu-i386; no
#   sanitizer runtime exists for them, so a sanitizer build does not make them at all.
# - sync_server: the reference server's own Python unit tests, no native code in them.
# Child processes the tests start (the Python reference and fixture servers) are not
# instrumented; the native side of every exchange is.
exclude='^(sync_server)$'

# The simulator reserves two 4 GiB views of one memfd (MAP_NORESERVE) for the game's address
# space, and the tests reset it with mprotect/fallocate over the whole range. Both runtimes
# take that as it is (the kernel places the views outside their shadow ranges), so no mapping
# options are needed. One known limit:
# TSan of gcc 12 / clang 14 refuses to start ("unexpected memory mapping") on kernels with
# vm.mmap_rnd_bits above 28; `sysctl vm.mmap_rnd_bits=28` cures it. The options below only
# make every report fatal and readable.
#   ASan: halt at the first error with a full report; LeakSanitizer on.
#   UBSan: every finding is fatal (-fno-sanitize-recover=undefined) and prints its stack.
#   TSan: a report fails the test (exitcode), second_deadlock_stack for lock-order reports.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=0:halt_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:exitcode=66:second_deadlock_stack=1}

status=0
summary=()
for r in "${runs[@]}"; do
  case "$r" in
    asan) mode=address ;;
    tsan) mode=thread ;;
  esac
  dir=build/$r
  start=$(date +%s)
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_SANITIZE=$mode >/dev/null || { status=1; summary+=("$r: configure FAILED"); continue; }
  fi
  echo "== building $r"
  if ! cmake --build "$dir" -j "$jobs"; then
    status=1; summary+=("$r: build FAILED"); continue
  fi
  built=$(date +%s)
  echo "== testing $r"
  if (cd "$dir" && ctest --output-on-failure -j "$jobs" -E "$exclude"); then
    result="all tests passed"
  else
    result="FAILED"; status=1
  fi
  done_at=$(date +%s)
  summary+=("$r: $result (build $((built - start))s, tests $((done_at - built))s)")
done
echo
printf '%s\n' "${summary[@]}"
exit $status
