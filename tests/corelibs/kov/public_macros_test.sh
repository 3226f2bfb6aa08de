#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Every macro the public headers define carries the library's prefix: a
# program that includes them finds no other name taken.  The macros of the
# system headers they include are subtracted first.
# Usage: public_macros_test.sh <c++ compiler> <include dir>...
set -euo pipefail
cxx=$1
shift
includes=()
for dir in "$@"; do includes+=(-I "$dir"); done

system_only='
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <array>
#include <complex>
#include <cstddef>
#include <optional>
#include <ranges>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
'
with_kov="$system_only
#include <kov/kovlib.h>
#include <kov/kov3d.h>
#include <kov/kov.hpp>
"
macros() { "$cxx" -std=c++20 "${includes[@]}" -dM -E -x c++ - | awk '{print $2}' | sed 's/(.*//' | sort -u; }
added=$(comm -13 <(printf '%s' "$system_only" | macros) <(printf '%s' "$with_kov" | macros))
bad=$(printf '%s\n' "$added" | grep -v -E '^(KOV_|KOV3D_)' | grep -v '^$' || true)
if [ -n "$bad" ]; then
  echo "public headers define unprefixed macros:" >&2
  printf '  %s\n' $bad >&2
  exit 1
fi
echo "public macros: $(printf '%s\n' "$added" | wc -l), all prefixed"
