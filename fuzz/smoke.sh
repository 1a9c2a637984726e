#!/bin/sh
# Builds the fuzz targets and runs each for a few seconds over its committed
# corpus, side by side; fails on a crash. The corpus is only read.
# Usage: fuzz/smoke.sh [seconds per target, default 5]
set -eu
seconds=${1:-5}
. "$(dirname "$0")/build-common.sh"
build_fuzzers

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The targets run side by side, one per core, each into its own log.
pids=
for t in $targets; do
  mkdir -p "$scratch/$t" "$scratch/$t.artifacts"
  echo "fuzz_$t: ${seconds}s over fuzz/corpus/$t"
  "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$scratch/$t.artifacts/" "$scratch/$t" "$root/fuzz/corpus/$t" \
    2>"$scratch/$t.log" &
  pids="$pids $!"
done
set -- $pids
failed=
for t in $targets; do
  pid=$1
  shift
  if wait "$pid"; then
    grep -E '^stat::number_of_executed_units' "$scratch/$t.log" | sed "s/^/fuzz_$t: /" || true
  else
    tail -n 60 "$scratch/$t.log" >&2
    echo "fuzz_$t failed; the input that crashed it:" >&2
    for f in "$scratch/$t.artifacts"/*; do
      [ -e "$f" ] && base64 "$f" >&2
    done
    failed=1
  fi
done
[ -z "$failed" ]
