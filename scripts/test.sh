#!/usr/bin/env bash
# Sets up what the build needs, then builds and runs the whole test suite
# twice: an optimised build, and an ASan+UBSan build.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ pkg-config libtirpc-dev libgtest-dev libbenchmark-dev
          clang libclang-rt-14-dev gfortran)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    echo "installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
  else
    echo "missing packages (run as root to install them): ${missing[*]}" >&2
    exit 1
  fi
fi

for preset in default asan; do
  echo "=== $preset build ==="
  cmake --preset "$preset" </dev/null
  cmake --build --preset "$preset" -j 2 </dev/null
  ctest --preset "$preset" --output-on-failure </dev/null
done
