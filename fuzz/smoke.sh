#!/bin/sh
# Builds the fuzz targets and runs each for a few seconds over its committed
# corpus; fails on a crash. The corpus is only read.
# Usage: fuzz/smoke.sh [seconds per target, default 5]
set -eu
seconds=${1:-5}
. "$(dirname "$0")/build-common.sh"
build_fuzzers

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for t in $targets; do
  mkdir -p "$scratch/$t"
  echo "fuzz_$t: ${seconds}s over fuzz/corpus/$t"
  "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$scratch/" "$scratch/$t" "$root/fuzz/corpus/$t" 2>"$scratch/$t.log" || {
    tail -n 60 "$scratch/$t.log" >&2
    echo "fuzz_$t failed; the input that crashed it:" >&2
    for f in "$scratch"/crash-* "$scratch"/leak-* "$scratch"/timeout-* "$scratch"/oom-*; do
      [ -e "$f" ] && base64 "$f" >&2
    done
    exit 1
  }
  grep -E '^stat::number_of_executed_units' "$scratch/$t.log" || true
done
