#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# <kov/kov.hpp> under C++17 stops at once with a message naming C++20,
# rather than with errors from deep inside the header.
# Usage: cxx17_refused_test.sh <c++ compiler> <include dirs>...
set -u
cxx=$1
shift
includes=()
for d in "$@"; do includes+=(-I "$d"); done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '#include <kov/kov.hpp>\nint main() { return 0; }\n' > "$work/t.cpp"
if "$cxx" -std=c++17 -fsyntax-only "${includes[@]}" "$work/t.cpp" 2> "$work/err"; then
  echo "compiled under C++17"; exit 1
fi
errors=$(grep -c ' error: ' "$work/err")
if ! grep -q '#error "<kov/kov.hpp> needs C++20' "$work/err" || [ "$errors" -ne 1 ]; then
  echo "not one clear error:"; cat "$work/err"; exit 1
fi
"$cxx" -std=c++20 -fsyntax-only "${includes[@]}" "$work/t.cpp" || { echo "C++20 refused"; exit 1; }
echo ok
