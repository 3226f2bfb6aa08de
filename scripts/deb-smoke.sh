#!/usr/bin/env bash
# Builds the Debian package of the toolkit, unpacks it into a temporary root
# and runs `velmodel | kovinfo` from there.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/default
[ -f "$build/CMakeCache.txt" ] || cmake --preset default
cmake --build "$build" -j 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work/pkg" >"$work/cpack.log") || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/pkg/kov_*.deb)
dpkg-deb -f "$deb" Package Version Depends
dpkg -x "$deb" "$work/root"
bin="$work/root/usr/bin"
export LD_LIBRARY_PATH="$work/root/usr/lib:$work/root/usr/lib/x86_64-linux-gnu${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
for tool in velmodel kovinfo kovwindow kovpng kov2segy segy2kov; do
  [ -x "$bin/$tool" ] || { echo "deb-smoke: $tool is not in the package" >&2; exit 1; }
done
"$bin/velmodel" n2=50 datapath="$work/" 2>/dev/null </dev/null | "$bin/kovinfo" >"$work/info.txt"
grep -q '^actual       100000 bytes$' "$work/info.txt" || { cat "$work/info.txt"; exit 1; }
grep -q '^max          6000 ' "$work/info.txt"
# kovview from the package: a piped model served on 127.0.0.1, its axes
# fetched with the printed token.
if [ -x "$bin/kovview" ]; then
  "$bin/velmodel" n2=50 datapath="$work/" 2>/dev/null </dev/null |
    DATAPATH="$work/" "$bin/kovview" >"$work/view.txt" 2>"$work/view.err" &
  view=$!
  for _ in $(seq 100); do grep -q 'kovview: open' "$work/view.txt" && break; sleep 0.1; done
  url=$(sed -n 's/^kovview: open //p' "$work/view.txt")
  /usr/bin/python3 -c '
import json, sys, urllib.request
url = sys.argv[1].replace("/?", "/api/info?")
info = json.load(urllib.request.urlopen(url, timeout=10))
assert info["n"] == [500, 50, 1], info
' "$url" </dev/null || { cat "$work/view.err"; kill "$view"; exit 1; }
  kill "$view"
  wait "$view" || true
  echo "deb-smoke: kovview serves a piped model from the package"
fi
# The Python package, where Debian's python3 looks under /usr.
if [ -f "$build/python/kov/__init__.py" ]; then
  py="$work/root/usr/lib/python3/dist-packages"
  [ -f "$py/kov/__init__.py" ] || { echo "deb-smoke: the Python package is not in the package" >&2; exit 1; }
  "$bin/velmodel" n2=50 datapath="$work/" >"$work/m.H" 2>/dev/null </dev/null
  PYTHONPATH="$py" /usr/bin/python3 -c '
import sys, kov
ds = kov.open(sys.argv[1])
assert ds.shape == (50, 500) and ds.read().max() == 6000, ds
assert kov.__file__.startswith(sys.argv[2]), kov.__file__
' "$work/m.H" "$py" </dev/null
  echo "deb-smoke: the Python package imports from the package and reads a model"
fi
echo "deb-smoke: $(basename "$deb") installs and runs: velmodel | kovinfo ok"
