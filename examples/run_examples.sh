#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs every example in a pipeline after velmodel and checks its output.
#   run_examples.sh BINDIR VELMODEL KOVINFO [PYTHON]
# BINDIR holds the built examples (scale, scale_typed, scale_f, addkeys,
# kov_reader); PYTHON, when given, runs scale.py with the kov package it
# imports.  Everything is written in a scratch directory.
set -euo pipefail
bin=$(cd "$1" && pwd)
velmodel=$(readlink -f "$2")
kovinfo=$(readlink -f "$3")
python=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kovexamples.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
export DATAPATH="$work/"

fail() { echo "examples: $*" >&2; exit 1; }
max_of() { "$kovinfo" <"$1" | awk '$1 == "max" {print $2}'; }

# velmodel's largest velocity is 6000; scaled by 2 it is 12000.
"$velmodel" n1=500 n2=20 </dev/null 2>/dev/null >model.H || fail "velmodel failed"
[ "$(max_of model.H)" = 6000 ] || fail "velmodel's model: max $(max_of model.H)"
for program in scale scale_typed scale_f; do
  [ -x "$bin/$program" ] || { [ "$program" = scale_f ] && continue; fail "$program not built"; }
  "$velmodel" n1=500 n2=20 </dev/null 2>/dev/null | "$bin/$program" factor=2 >"$program.H" 2>"$program.err" ||
    fail "$program failed: $(cat "$program.err")"
  [ "$(max_of "$program.H")" = 12000 ] || fail "$program: max $(max_of "$program.H"), not 12000"
  grep -q 'factor=2' "$program.H" || fail "$program: factor missing from the history"
done

"$velmodel" n1=500 n2=20 </dev/null 2>/dev/null | "$bin/addkeys" >keyed.H 2>addkeys.err ||
  fail "addkeys failed: $(cat addkeys.err)"
# The history names the header format file absolute, beside keyed.H.
grep -qF "hff=\"$(pwd -P)/keyed.H@@\"" keyed.H || fail "addkeys: no header format file in the history"
grep -q 'hdrkey1="trace"' keyed.H@@ && grep -q 'hdrkey2="x"' keyed.H@@ ||
  fail "addkeys: keys missing from the header format file"
# 20 records of two 4-byte keys.
[ "$(wc -c <keyed.H@@@)" -eq 160 ] || fail "addkeys: $(wc -c <keyed.H@@@) bytes of key values"

summary=$("$velmodel" n1=500 n2=20 </dev/null 2>/dev/null | "$bin/kov_reader")
case "$summary" in
  "n1=500 n2=20 traces=20 bytes=40000 sum="*) ;;
  *) fail "kov_reader printed: $summary" ;;
esac

if [ -n "$python" ]; then
  "$python" "$here/scale.py" model.H py.H 2 </dev/null >/dev/null || fail "scale.py failed"
  [ "$(max_of py.H)" = 12000 ] || fail "scale.py: max $(max_of py.H), not 12000"
fi
echo "examples: all ran in a pipeline after velmodel"
