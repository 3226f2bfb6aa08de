#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian packages (debian/, dpkg-buildpackage) from a copy of the
# sources in a scratch directory, checks them with lintian (any error
# fails), installs them all with apt-get, then builds the examples against
# /usr with their one-line pkg-config commands and runs them in pipelines
# after the installed velmodel.  Run as root (CI) or as a user with sudo.
# The packages are removed again at the end unless KOV_KEEP_PACKAGES=1;
# KOV_DEB_DIR names a directory of packages built already.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
kov_install_deps

work=$(mktemp -d "${TMPDIR:-/tmp}/kovdeb.XXXXXX")
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
packages=(libkov0 libkov3d0 libkovtyped0 libkov-dev kov-tools python3-kov)
installed=
purge() {
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${packages[@]}" \
    </dev/null >/dev/null
}
cleanup() {
  if [ -n "$installed" ] && [ "${KOV_KEEP_PACKAGES:-0}" != 1 ]; then
    purge || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

ex=$(pwd)/examples
if [ -n "${KOV_DEB_DIR:-}" ]; then # packages built already
  cp "$KOV_DEB_DIR"/*.deb "$work/"
else
  # The packages land beside the source directory: build from a copy.
  mkdir "$work/src"
  tar --exclude=./build --exclude=./.git --exclude=./debian/build -cf - . | tar -xf - -C "$work/src"
  (cd "$work/src" && dpkg-buildpackage -b -us -uc -j2 </dev/null >"$work/build.log" 2>&1) ||
    { tail -n 60 "$work/build.log"; echo "deb-smoke: dpkg-buildpackage failed" >&2; exit 1; }
fi
cd "$work"
for p in "${packages[@]}"; do
  ls "${p}"_*.deb >/dev/null 2>&1 || { echo "deb-smoke: no package $p" >&2; exit 1; }
  dpkg-deb -f "${p}"_*.deb Package Version Depends | tr '\n' ' '
  echo
done

# The sibling libraries use the core's internals: they are tied to the
# core of the same build, not to any later one.
for p in libkov3d0 libkovtyped0; do
  dpkg-deb -f "${p}"_*.deb Depends | grep -q 'libkov0 (= ' ||
    { echo "deb-smoke: $p does not depend on the exact libkov0" >&2; exit 1; }
done
# The Python package is byte-compiled at installation and cleaned at
# removal (dh_python3's maintainer scripts).
dpkg-deb -e python3-kov_*.deb py3-control
grep -q py3compile py3-control/postinst && grep -q py3clean py3-control/prerm ||
  { echo "deb-smoke: python3-kov does not compile and clean its byte code" >&2; exit 1; }
# The licence, machine-readably, in every package.
# (Read whole before it is searched: grep -q leaving a pipe early would
# fail the pipeline with the writer's SIGPIPE.)
for p in "${packages[@]}"; do
  copyright=$(dpkg-deb --fsys-tarfile "${p}"_*.deb | tar -xOf - "./usr/share/doc/$p/copyright")
  grep -q '^License: Apache-2.0' <<<"$copyright" || { echo "deb-smoke: $p: no Apache-2.0 copyright" >&2; exit 1; }
done

# lintian: errors fail; warnings and notes are shown.
lintian --fail-on error --tag-display-limit 0 --display-info ./*.deb </dev/null | tee lintian.log
echo "deb-smoke: lintian reports no errors"

"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ./*.deb </dev/null >apt.log ||
  { cat apt.log; exit 1; }
installed=yes
for tool in velmodel kovinfo kovwindow kovpng kov2segy segy2kov kovview; do
  [ -x "/usr/bin/$tool" ] || { echo "deb-smoke: /usr/bin/$tool is not installed" >&2; exit 1; }
  [ -f "/usr/share/man/man1/$tool.1.gz" ] || { echo "deb-smoke: no manual page for $tool" >&2; exit 1; }
done

# The library reference: a section-3 page for routines of every layer.
for page in getch kov_put_key from_param_int; do
  man -w 3 "$page" >/dev/null </dev/null || { echo "deb-smoke: no manual page $page(3)" >&2; exit 1; }
done
# One page per routine: whatis names the routine itself.
whatis getch </dev/null | grep -q '^getch (3)' ||
  { echo "deb-smoke: whatis getch does not name getch" >&2; whatis getch; exit 1; }
lines=$(MANWIDTH=80 MANPAGER=cat man 3 initpar_ </dev/null 2>/dev/null | wc -l)
[ "$lines" -lt 120 ] || { echo "deb-smoke: man 3 initpar_ is $lines lines" >&2; exit 1; }
echo "deb-smoke: man 3 finds the library reference"

# kovview from the package: a piped model served on 127.0.0.1, its axes
# fetched with the printed token.
/usr/bin/velmodel n2=50 datapath="$work/" 2>/dev/null </dev/null |
  DATAPATH="$work/" /usr/bin/kovview >"$work/view.txt" 2>"$work/view.err" &
view=$!
for _ in $(seq 100); do grep -q 'kovview: open' "$work/view.txt" && break; sleep 0.1; done
url=$(sed -n 's/^kovview: open //p' "$work/view.txt")
/usr/bin/python3 -c '
import json, sys, urllib.request
url = sys.argv[1] + "api/info"  # every request of the page is below its token
info = json.load(urllib.request.urlopen(url, timeout=10))
assert info["n"] == [500, 50, 1], info
' "$url" </dev/null || { cat "$work/view.err"; kill "$view"; exit 1; }
kill "$view"
wait "$view" || true
echo "deb-smoke: kovview serves a piped model from the package"

# Each example with the one line its source shows, against /usr only.
mkdir bin
cc -o bin/scale "$ex/scale.c" $(pkg-config --cflags --libs kov)
c++ -std=c++20 -o bin/scale_typed "$ex/scale.cpp" $(pkg-config --cflags --libs kov-typed)
gfortran -o bin/scale_f "$ex/scale.f90" $(pkg-config --libs kov)
cc -o bin/addkeys "$ex/addkeys.c" $(pkg-config --cflags --libs kov3d)
c++ -std=c++20 -o bin/kov_reader "$ex/kov_reader.cpp" $(pkg-config --cflags --libs kov)
for program in scale scale_typed scale_f addkeys kov_reader; do
  readelf -d "bin/$program" | grep -q 'NEEDED.*libkov' ||
    { echo "deb-smoke: $program is not linked with the shared libraries" >&2; exit 1; }
done
env -u PYTHONPATH bash "$ex/run_examples.sh" bin /usr/bin/velmodel /usr/bin/kovinfo /usr/bin/python3
echo "deb-smoke: the packages install, and the examples build and run against /usr"

# Removal leaves nothing of the Python package behind (no byte code that
# would make "import kov" an empty namespace package).
if [ "${KOV_KEEP_PACKAGES:-0}" != 1 ]; then
  purge
  installed=
  left=$(find /usr/lib/python3/dist-packages -maxdepth 1 -name 'kov*' 2>/dev/null)
  [ -z "$left" ] || { echo "deb-smoke: left after purge: $left" >&2; exit 1; }
  echo "deb-smoke: purge leaves nothing of the Python package"
fi
