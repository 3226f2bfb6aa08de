#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the build tree into a scratch prefix and builds the consumers
# (C on the core, C++ on the typed layer, C on kov3d, and a C program with
# a routine named as one of the library's) against it through
# pkg-config and through find_package, linked with the shared libraries when
# they are installed and with the static ones, and runs each.
set -euo pipefail
build=$1
src=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/kovinstall.XXXXXX")
trap 'rm -rf "$work"' EXIT

prefix=$work/prefix
for component in dev runtime; do
  cmake --install "$build" --prefix "$prefix" --component $component >/dev/null
done
pcdir=$(dirname "$(find "$prefix" -name kov.pc)")
libdir=$(dirname "$pcdir")
export PKG_CONFIG_PATH=$pcdir
# Outside the system's directories the loader, and the linker for the
# libraries a shared library needs, look where LD_LIBRARY_PATH says.
export LD_LIBRARY_PATH=$libdir
expected="n1=5 d1=0.25"
for module in kov kov3d kov-typed; do
  pkg-config --exists "$module >= 0.1" || { echo "no pkg-config module $module"; exit 1; }
done

fail() { echo "consumer_test: $*" >&2; exit 1; }

# run PROGRAM KIND LIBRARY: runs it and checks how it is linked to LIBRARY.
run() {
  local program=$1 kind=$2 library=$3 got
  # The typed layer echoes the parameters into the output history first.
  got=$("$program" n1=5 d1=0.25 </dev/null | tail -n 1) || fail "$program failed"
  [ "$got" = "$expected" ] || fail "$program printed: $got"
  if [ "$kind" = shared ]; then
    readelf -d "$program" | grep -q "NEEDED.*\[$library.so.0\]" || fail "$program does not load $library.so.0"
  else
    ! readelf -d "$program" | grep -q "NEEDED.*libkov" || fail "$program loads a kov library"
  fi
}

# pkg_build KIND: the three consumers through pkg-config.
pkg_build() {
  local kind=$1 out=$work/pkg-$1 link=() pc=()
  mkdir -p "$out"
  # With the shared libraries beside them, a static link is a -static one.
  if [ "$kind" = static ] && [ -n "$shared" ]; then
    link=(-static)
    pc=(--static)
  fi
  # shellcheck disable=SC2046
  cc -Wall -Werror -o "$out/consumer" "$src/consumer.c" "${link[@]}" $(pkg-config "${pc[@]}" --cflags --libs kov) 2>"$out/log" ||
    { cat "$out/log"; fail "C consumer through pkg-config ($kind)"; }
  # shellcheck disable=SC2046
  cc -Wall -Werror -o "$out/own_names" "$src/own_names.c" "${link[@]}" $(pkg-config "${pc[@]}" --cflags --libs kov) 2>"$out/log" ||
    { cat "$out/log"; fail "C consumer with a routine named as one of the library's ($kind)"; }
  # shellcheck disable=SC2046
  c++ -std=c++20 -Wall -Werror -o "$out/consumer_typed" "$src/consumer_typed.cpp" "${link[@]}" \
    $(pkg-config "${pc[@]}" --cflags --libs kov-typed) 2>"$out/log" ||
    { cat "$out/log"; fail "C++ consumer through pkg-config ($kind)"; }
  # shellcheck disable=SC2046
  cc -Wall -Werror -o "$out/consumer_3d" "$src/consumer_3d.c" "${link[@]}" $(pkg-config "${pc[@]}" --cflags --libs kov3d) 2>"$out/log" ||
    { cat "$out/log"; fail "kov3d consumer through pkg-config ($kind)"; }
  run "$out/consumer" "$kind" libkov
  run "$out/own_names" "$kind" libkov
  run "$out/consumer_typed" "$kind" libkovtyped
  run "$out/consumer_3d" "$kind" libkov3d
}

# cmake_build KIND: the three consumers through find_package.
cmake_build() {
  local kind=$1 out=$work/cmake-$1 static=OFF
  [ "$kind" = static ] && static=ON
  cmake -S "$src" -B "$out" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" -Dkov_USE_STATIC_LIBS=$static \
    >"$work/log" 2>&1 || { cat "$work/log"; fail "find_package ($kind)"; }
  cmake --build "$out" >"$work/log" 2>&1 || { cat "$work/log"; fail "consumers through find_package ($kind)"; }
  run "$out/consumer" "$kind" libkov
  run "$out/own_names" "$kind" libkov
  run "$out/consumer_typed" "$kind" libkovtyped
  run "$out/consumer_3d" "$kind" libkov3d
}

shared=
[ -e "$libdir/libkov.so" ] && shared=yes
if [ -n "$shared" ]; then
  for lib in libkov libkov3d libkovtyped; do
    [ "$(readelf -d "$libdir/$lib.so" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')" = "$lib.so.0" ] ||
      fail "$lib.so has no soname $lib.so.0"
  done
  pkg_build shared
  cmake_build shared
  kinds="shared and static"
else
  kinds="static"
fi
pkg_build static
cmake_build static
echo "install consumed through pkg-config and find_package ($kinds): core, typed, kov3d"
