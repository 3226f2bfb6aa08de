#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and builds a C consumer
# against it twice: through pkg-config and through find_package.
set -euo pipefail
build=$1
src=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/kovinstall.XXXXXX")
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
expected="n1=5 d1=0.25"

export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig:$work/prefix/lib64/pkgconfig:$work/prefix/lib/x86_64-linux-gnu/pkgconfig"
pkg-config --exists 'kov >= 0.1'
# shellcheck disable=SC2046
cc -Wall -Werror -o "$work/by_pkgconfig" "$src/consumer.c" $(pkg-config --cflags --libs kov)
export LD_LIBRARY_PATH="$work/prefix/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
got=$("$work/by_pkgconfig" n1=5 d1=0.25 </dev/null)
[ "$got" = "$expected" ] || { echo "pkg-config consumer printed: $got"; exit 1; }

cmake -S "$src" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
export LD_LIBRARY_PATH="$work/prefix/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
got=$("$work/cmake-build/consumer" n1=5 d1=0.25 </dev/null)
[ "$got" = "$expected" ] || { echo "find_package consumer printed: $got"; exit 1; }
echo "install consumed through pkg-config and find_package"
