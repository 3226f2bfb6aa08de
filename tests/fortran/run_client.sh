#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Runs the Fortran client in a scratch directory of its own, under the name
# "generator", and checks what it leaves behind.
# Usage: run_client.sh CLIENT SCENARIO
set -eu
client=$1
scenario=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/kovfort.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
ln -s "$client" generator

fail() {
  echo "$scenario: $*" >&2
  exit 1
}
# has FILE LINE: FILE holds the line (tabs written as \t).
has() {
  grep -qxF "$(printf "$2")" "$1" || fail "$1 lacks the line '$2'"
}

case $scenario in
roundtrip)
  ./generator mode=write n1=500 d1=0.25 label=depth datapath="$work/" </dev/null >out.H ||
    fail "writing run failed"
  has out.H '\t\tn2=7'
  has out.H '\t\tn3=-12'
  has out.H '\t\tyes=yes'
  has out.H '\t\tno=no'
  has out.H '\t\td2=0.004'
  has out.H '\t\to2=-1.5'
  has out.H '\t\tpi=3.14159265358979'
  has out.H '\t\ttitle="abc"'
  [ "$(wc -c <"$work/out.H@")" -eq 40 ] || fail "data file is not 40 bytes"
  ./generator mode=read datapath="$work/" <out.H >back.H || fail "reading run failed"
  ;;
koverr)
  status=0
  ./generator mode=die datapath="$work/" </dev/null >out 2>err || status=$?
  [ "$status" -eq 23 ] || fail "exit status $status"
  has err './generator: something went wrong'
  has out './generator: something went wrong'
  ;;
*)
  fail "unknown scenario"
  ;;
esac
