#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Sets up what the build needs, then builds and runs the whole test suite
# twice: an optimised build, and an ASan+UBSan build.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
start=$SECONDS
kov_install_deps
echo "=== dependencies took $((SECONDS - start)) s ==="

for preset in default asan; do
  echo "=== $preset build ==="
  # The optimised build also compiles the benchmarks (not run here), so that
  # they keep building; the default preset leaves them out for users.
  extra=()
  [ "$preset" = default ] && extra=(-DKOV_BUILD_BENCH=ON)
  cmake --preset "$preset" -DKOV_BUILD_TESTS=ON "${extra[@]}" </dev/null
  start=$SECONDS
  cmake --build --preset "$preset" -j 2 </dev/null
  echo "=== $preset build took $((SECONDS - start)) s ==="
  start=$SECONDS
  ctest --preset "$preset" --output-on-failure </dev/null
  echo "=== $preset tests took $((SECONDS - start)) s ==="
done
