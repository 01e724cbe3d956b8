#!/usr/bin/env bash
# Installs everything the three builds, the tests and the benchmarks need on Debian 12.
set -euo pipefail
packages=(
  build-essential cmake ninja-build python3 git
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64
  g++-multilib qemu-user-static
  doctest-dev nlohmann-json3-dev libcurl4-openssl-dev libssl-dev libbenchmark-dev
  clang libclang-rt-14-dev  # scripts/fuzz.sh: libFuzzer with ASan and UBSan
  llvm-14  # llvm-symbolizer: source lines in the stack traces of a fuzz finding
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
