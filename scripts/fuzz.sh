#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Build the libFuzzer targets (preset `fuzz`) and run each of them.
#
#   scripts/fuzz.sh [SECONDS]
#
# SECONDS (default 60) is the total fuzzing time, shared evenly by the
# targets.  The corpus lives in a temporary directory, seeded from
# tests/fuzz/corpus/<name>/ where present.  Inputs that crash, time out or
# exhaust memory are kept in build/fuzz/artifacts/ (or $KOV_FUZZ_ARTIFACTS),
# and the script then exits non-zero.
#
# Environment: KOV_FUZZ_ROUND (default 300) caps one fuzzer process in
# seconds; longer runs are split into rounds over the same corpus, since
# parameter memory is only returned at exit.  KOV_FUZZ_ARGS adds libFuzzer
# options.
set -euo pipefail

total=${1:-60}
if ! [[ $total =~ ^[0-9]+$ ]] || ((total < 1)); then
  echo "usage: $0 [SECONDS]" >&2
  exit 64
fi
round=${KOV_FUZZ_ROUND:-300}

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2

targets=(scan decode header segy query)
# Options and round caps of one target.  The header target opens a new
# `in` for every input, and a header's parameter store (some 40 kB) is kept
# for the process by design: every input would look like a leak, and the
# leak check after each one would take the round's time; short rounds with
# a bounded number of runs keep its memory well below the limit.
declare -A target_args=([header]="-detect_leaks=0 -runs=25000")
declare -A target_round=([header]=30)
bin=build/fuzz/tests/fuzz
artifacts=${KOV_FUZZ_ARTIFACTS:-$root/build/fuzz/artifacts}
mkdir -p "$artifacts"
work=$(mktemp -d "${TMPDIR:-/tmp}/kovfuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT

per=$((total / ${#targets[@]}))
((per >= 1)) || per=1
status=0
for t in "${targets[@]}"; do
  corpus=$work/$t
  mkdir -p "$corpus"
  if [[ -d tests/fuzz/corpus/$t ]]; then cp tests/fuzz/corpus/"$t"/* "$corpus"/ 2>/dev/null || true; fi
  rm -f "$corpus"/README*
  left=$per
  cap=${target_round[$t]:-$round}
  ((cap <= round)) || cap=$round
  while ((left > 0)); do
    slice=$((left < cap ? left : cap))
    left=$((left - slice))
    echo "== kov_${t}_fuzz: ${slice}s"
    # One process on one core; ASan's leak check stays on but where turned off above.
    # shellcheck disable=SC2086
    if ! "$bin/kov_${t}_fuzz" -max_total_time="$slice" -timeout=5 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$artifacts/${t}-" ${target_args[$t]:-} ${KOV_FUZZ_ARGS:-} \
      "$corpus" </dev/null >"$work/$t.log" 2>&1; then
      status=1
      grep -E "ERROR|SUMMARY|Test unit written" "$work/$t.log" >&2 || tail -n 40 "$work/$t.log" >&2
      echo "kov_${t}_fuzz failed; inputs kept in $artifacts" >&2
      break
    fi
    grep -E "^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)" "$work/$t.log"
  done
done
exit "$status"
