#!/usr/bin/env bash
# Runs every test: a normal build runs them all; an AddressSanitizer+UBSan
# build runs the unit and integration tests; a ThreadSanitizer build runs
# the tests of threaded code; a clang build runs each fuzz target for a few
# seconds over its committed corpus. Each test that needs a session bus
# starts a private dbus-daemon of its own and stops it after.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

jobs=$(nproc)
ctest_args=(--output-on-failure --timeout 600 -j "$jobs")

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
(cd build/release && ctest "${ctest_args[@]}")

echo "== AddressSanitizer + UBSan build: unit and integration tests"
build build/asan -DZIVUV_SANITIZE=asan-ubsan -DZIVUV_BUILD_BENCH=OFF
(cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
   UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest "${ctest_args[@]}" -LE install)

echo "== ThreadSanitizer build: tests of threaded code"
# Only what the threaded tests run is built here: the queue's unit tests, and
# the two programs with their translations for the pytest files.
build build/tsan -DZIVUV_SANITIZE=tsan -DZIVUV_BUILD_BENCH=OFF -- \
  zivuv-folder-monitor zivuv-monitorctl translations watch_tests
(cd build/tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
   ctest "${ctest_args[@]}" -L threaded)

echo "== fuzz targets over their corpus"
fuzz/smoke.sh 5

echo "== all tests passed"
