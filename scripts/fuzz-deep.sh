#!/usr/bin/env bash
# Fuzzing longer than CI allows.  Each target runs for SECONDS on what earlier runs found
# (kept in the fuzz build's work-<target> folder between runs) and the committed corpus;
# then both are merged into the smallest set of inputs with the same coverage.  With
# --update-corpus that set replaces fuzz/corpus/<target>, to commit.  The reference
# captures' messages, which are not ours to commit, seed only runs without
# --update-corpus, and those keep what they find apart (work-<target>-captures).
#
# usage: scripts/fuzz-deep.sh [--update-corpus] [SECONDS per target, default 1200] [TARGET...]
#        (targets: h225 h245 capture h224 h264 ras; default all)
# Prints one line a target: executions, executions a second, corpus sizes, and whether it
# found a crash (the reproducer is left in the fuzz build folder).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
update=0
if [ "${1:-}" = "--update-corpus" ]; then
  update=1
  shift
fi
seconds=${1:-1200}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(h225 h245 capture h224 h264 ras)

build=${KX_FUZZ_BUILD_DIR:-$root/build-fuzz}
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DKX_FUZZ=ON -DKX_BUILD_TESTS=OFF \
  -DKX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$build" -j"$(nproc)" > /dev/null
# The captures' messages as seeds (when the reference folder is there).
ctest --test-dir "$build" -R fuzz_seed_corpus > /dev/null || true

seeds=$build/fuzz/seeds
status=0
printf '%-8s %12s %10s %8s %8s %s\n' target executions "per s" before after result
for target in "${targets[@]}"; do
  program=$build/fuzz/fuzz_$target
  corpus=$root/fuzz/corpus/$target
  if [ $update -eq 1 ]; then
    work=$build/fuzz/work-$target
    extra=()
  else
    work=$build/fuzz/work-$target-captures
    extra=("$seeds/$target")
  fi
  mkdir -p "$work" "$seeds/$target" "$corpus"
  log=$build/fuzz/deep-$target.log
  before=$(ls "$corpus" | wc -l)
  result=clean
  # A field named that its message type does not have is a fault found, as in the tests.
  (cd "$build/fuzz" && KX_ASN_STRICT=1 "$program" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
     -max_len=65536 -print_final_stats=1 "$work" "$corpus" "${extra[@]}") > "$log" 2>&1 \
    || { result="CRASH (see $log)"; status=1; }
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(( ${executions:-0} / (seconds > 0 ? seconds : 1) ))
  # The smallest set with the coverage of everything found so far.
  merged=$(mktemp -d)
  "$program" -merge=1 -rss_limit_mb=2048 -timeout=10 -max_len=65536 "$merged" "$corpus" \
    "$work" > "$build/fuzz/merge-$target.log" 2>&1
  after=$(ls "$merged" | wc -l)
  if [ $update -eq 1 ] && [ "$after" -gt 0 ]; then
    rm -f "$corpus"/*
    cp "$merged"/* "$corpus"/
  fi
  rm -rf "$merged"
  printf '%-8s %12s %10s %8s %8s %s\n' "$target" "${executions:-?}" "$rate" "$before" "$after" \
    "$result"
done
exit $status
