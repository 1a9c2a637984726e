#!/bin/sh
# Fuzzes each target for the given time over its corpus, then merges the
# inputs that found new coverage into fuzz/corpus/<target>/ (only those, so
# the committed corpus stays small). Crashes go to fuzz/artifacts/.
# Usage: fuzz/run.sh [seconds per target, default 600]
set -eu
seconds=${1:-600}
. "$(dirname "$0")/build-common.sh"
build_fuzzers

artifacts="$root/fuzz/artifacts"
mkdir -p "$artifacts"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
for t in $targets; do
  fuzzer="$build/fuzz/fuzz_$t"
  corpus="$root/fuzz/corpus/$t"
  mkdir -p "$scratch/$t"
  echo "fuzz_$t: ${seconds}s"
  "$fuzzer" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$artifacts/fuzz_$t-" "$scratch/$t" "$corpus" || status=1
  before=$(ls "$corpus" | wc -l)
  "$fuzzer" -merge=1 "$corpus" "$scratch/$t" 2>"$scratch/$t.merge.log" || status=1
  echo "fuzz_$t: corpus $before -> $(ls "$corpus" | wc -l) inputs"
done
[ "$status" -eq 0 ] || echo "a target failed: see $artifacts" >&2
exit "$status"
