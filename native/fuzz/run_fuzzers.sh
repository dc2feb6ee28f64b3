#!/usr/bin/env bash
# Runs every fuzz target of a build for a fixed time and reports how many
# inputs each executed. Each run starts from the seeds in corpus/<name>/
# (when there are any) and a fresh working corpus, so that its length does
# not depend on earlier runs. A target that finds a fault stops at once;
# its input is kept under <build>/fuzz-artifacts/<name>/ and the run fails.
# Usage: native/fuzz/run_fuzzers.sh <build dir> [seconds per target] [name ...]
set -uo pipefail
build=${1:?usage: run_fuzzers.sh <build dir> [seconds per target] [name ...]}
seconds=${2:-20}
shift $(( $# >= 2 ? 2 : 1 ))
here=$(cd "$(dirname "$0")" && pwd)
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  names=(char_filter text_units close_match tfidf_model tfidf_scoring detection textrank summarizer
         darknet_weights)
fi

passed=0
failed=0
for name in "${names[@]}"; do
  binary=$build/fuzz/${name}_fuzzer
  corpus=$build/fuzz-corpus/$name
  artifacts=$build/fuzz-artifacts/$name/
  log=$build/fuzz-logs/$name.log
  rm -rf "$corpus"
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  seeds=()
  [ -d "$here/corpus/$name" ] && seeds=("$here/corpus/$name")
  "$binary" -max_total_time="$seconds" -print_final_stats=1 -max_len=4096 \
    -timeout=20 -rss_limit_mb=2048 -artifact_prefix="$artifacts" \
    "$corpus" "${seeds[@]}" >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ $status -eq 0 ]; then
    passed=$((passed + 1))
    printf '%-14s %10s executions in %ss: no fault\n' "$name" "${runs:-?}" "$seconds"
  else
    failed=$((failed + 1))
    printf '%-14s %10s executions: FAULT (exit %s), see %s\n' "$name" "${runs:-?}" "$status" "$log"
    grep -E 'check failed|runtime error|ERROR: ' "$log" | head -3 | sed 's/^/    /'
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ $failed -eq 0 ]
