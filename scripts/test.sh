#!/usr/bin/env bash
# Runs every test: a normal build runs them all; an AddressSanitizer+UBSan
# build runs the unit and integration tests; a ThreadSanitizer build runs
# the tests of threaded code; a clang build runs each fuzz target for a few
# seconds over its committed corpus. Each test that needs a session bus
# starts a private dbus-daemon of its own and stops it after.
#
# Ends with one line per skipped test ("skipped: BUILD/ENTRY: TEST: REASON"),
# or "nothing was skipped". With ZIVUV_FORBID_SKIPS=1 (.ci/run sets it) a
# skip fails the run, once everything has run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/setup.sh

jobs=$(nproc)
ctest_args=(--output-on-failure --timeout 600 -j "$jobs")
skipped=build/skipped
mkdir -p "$skipped"
: >"$skipped/all"

# The skip lines so far; once, also when a phase failed.
summarised=
summary() {
  summarised=1
  if [ -s "$skipped/all" ]; then cat "$skipped/all"; else echo "nothing was skipped"; fi
}
trap '[ -n "$summarised" ] || summary' EXIT

# tests DIR RUN [ctest options...]: ctest in the build folder DIR, its JUnit
# report and its pytest skips kept under the name RUN, then its skips noted.
tests() {
  local dir=$1 run=$2
  shift 2
  rm -f "$skipped/$run.log" "$skipped/$run.xml"
  (cd "$dir" && ZIVUV_SKIP_LOG="$root/$skipped/$run.log" exec ctest "${ctest_args[@]}" \
     --output-junit "$root/$skipped/$run.xml" "$@")
  scripts/skips.py "$(basename "$dir")" "$skipped/$run.xml" "$skipped/$run.log" >>"$skipped/all"
}

# build DIR [cmake options...] [-- targets...]
build() {
  local dir=$1
  shift
  local options=() targets=()
  while [ "$#" -gt 0 ] && [ "$1" != "--" ]; do options+=("$1"); shift; done
  [ "$#" -gt 0 ] && shift
  targets=("$@")
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" >/dev/null
  if [ "${#targets[@]}" -gt 0 ]; then
    cmake --build "$dir" -j "$jobs" --target "${targets[@]}"
  else
    cmake --build "$dir" -j "$jobs"
  fi
}

echo "== normal build: every test"
build build/release
tests build/release release

echo "== AddressSanitizer + UBSan build: unit and integration tests"
build build/asan -DZIVUV_SANITIZE=asan-ubsan -DZIVUV_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  tests build/asan asan -LE install

echo "== ThreadSanitizer build: tests of threaded code"
# Only what the threaded tests run is built here: the queue's unit tests, and
# the two programs with their translations for the pytest files.
build build/tsan -DZIVUV_SANITIZE=tsan -DZIVUV_BUILD_BENCH=OFF -- \
  zivuv-folder-monitor zivuv-monitorctl translations watch_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 tests build/tsan tsan -L threaded

echo "== fuzz targets over their corpus"
fuzz/smoke.sh 5

echo "== all tests passed"
summary
if [ "${ZIVUV_FORBID_SKIPS:-0}" = 1 ] && [ -s "$skipped/all" ]; then
  echo "error: $(wc -l <"$skipped/all") skipped, and ZIVUV_FORBID_SKIPS=1 forbids skips here" >&2
  exit 1
fi
