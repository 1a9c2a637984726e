#!/usr/bin/env bash
# Runs every test: a normal build runs them all; an AddressSanitizer+UBSan
# build runs the unit and integration tests; a ThreadSanitizer build runs
# the tests of threaded code; a clang build runs each fuzz target for a few
# seconds over its committed corpus. Each test that needs a session bus
# starts a private dbus-daemon of its own and stops it after.
#
# The builds and the fuzzers run one after the other, each on every core,
# then the unit tests of each build. The other tests mostly wait (a 3 s
# debounce, a bus round trip), so they run side by side: the normal build's
# install tests (the unit under systemd --user, and the Debian package at
# the lowest priority, as its own build is long) beside everything that
# follows, its integration tests beside the sanitizer builds, those of the
# two sanitizer builds together at the end. The output of each run in the background is kept under
# build/results and shown when it failed.
#
# Ends with the time of each phase, then one line per skipped test
# ("skipped: BUILD/ENTRY: TEST: REASON") or "nothing was skipped". With
# ZIVUV_FORBID_SKIPS=1 (.ci/run sets it) a skip fails the run, once
# everything has run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

times=()
# phase NAME COMMAND...: runs one phase and notes its time.
phase() {
  local name=$1 start=$SECONDS
  shift
  echo "== $name"
  "$@"
  times+=("$name $((SECONDS - start)) s")
}

phase setup scripts/setup.sh

jobs=$(nproc)
# The three builds' integration runs go side by side, each taking as many
# tests at once as there are cores: a run lasts about as long as its longest
# pytest file.
ctest_args=(--output-on-failure --timeout 600 -j "$jobs")
results=build/results
mkdir -p "$results"
: >"$results/skipped"

# ccache serves every build made here, the package build of the install
# tests included (CMake reads the launchers from the environment; the cache
# folder is named because debhelper gives the package build a HOME of its
# own). Paths under the clone are hashed relative to it and the build folder
# not at all, so that a fresh clone in another folder hits the cache too.
if command -v ccache >/dev/null; then
  CCACHE_DIR=$(ccache --get-config cache_dir)
  export CCACHE_DIR CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi

# The phase times and the skip lines so far; once, also when a phase failed.
summarised=
summary() {
  local IFS=,
  summarised=1
  echo "phase times:${times[*]/#/ }; total $SECONDS s"
  if [ -s "$results/skipped" ]; then cat "$results/skipped"; else echo "nothing was skipped"; fi
}

# Test runs in the background: run name -> pid (also its process group) and
# build folder.
declare -A pid dir
on_exit() {
  for run in "${!pid[@]}"; do
    kill -TERM -- "-${pid[$run]}" 2>/dev/null || true
    wait "${pid[$run]}" 2>/dev/null || true
  done
  [ -n "$summarised" ] || summary
}
trap on_exit EXIT

# build DIR [cmake options...] [-- targets...]. Each target compiles as
# unity sources, a few of its files at a time, so that the heavy headers
# (GoogleTest, nlohmann/json, sd-bus, the standard library) are read once per
# batch, not once per file: a fresh build takes half the compile time.
build() {
  local dir=$1
  shift
  local options=() targets=()
  while [ "$#" -gt 0 ] && [ "$1" != "--" ]; do options+=("$1"); shift; done
  [ "$#" -gt 0 ] && shift
  targets=("$@")
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_UNITY_BUILD=ON "${options[@]}" >/dev/null
  if [ "${#targets[@]}" -gt 0 ]; then
    cmake --build "$dir" -j "$jobs" --target "${targets[@]}"
  else
    cmake --build "$dir" -j "$jobs"
  fi
}

# skips_of DIR RUN: the skip lines of one ctest run, named after its build.
skips_of() {
  scripts/zivuv_skips.py "$(basename "$1")" "$results/$2.xml" "$results/$2.log" >>"$results/skipped"
}

# tests DIR RUN [ctest options...]: ctest in the build folder DIR, its JUnit
# report and its pytest skips kept as build/results/RUN.*, then its skips
# noted.
tests() {
  local dir=$1 run=$2
  shift 2
  rm -f "$results/$run".*
  (cd "$dir" && ZIVUV_SKIP_LOG="$root/$results/$run.log" exec ctest "${ctest_args[@]}" \
     --output-junit "$root/$results/$run.xml" "$@")
  skips_of "$dir" "$run"
}

# start_tests [--lowest] DIR RUN [ctest options...]: starts ctest in the
# build folder DIR in the background, leading a process group of its own
# (setsid replaces the subshell, so its pid is the group's) that on_exit can
# end as a whole. With --lowest it runs at the lowest priority: nice, and
# its session's scheduling group niced too, as the kernel shares the CPU
# between sessions' groups before it looks at nice. Its output, JUnit report
# and pytest skips are kept as build/results/RUN.*.
lowest=(sh -c 'echo 19 >/proc/self/autogroup 2>/dev/null; exec nice -n 19 "$@"' sh)
start_tests() {
  local priority=()
  if [ "$1" = --lowest ]; then
    priority=("${lowest[@]}")
    shift
  fi
  local run=$2
  dir[$run]=$1
  shift 2
  echo "== $run tests, in the background"
  rm -f "$results/$run".*
  (cd "${dir[$run]}" && ZIVUV_SKIP_LOG="$root/$results/$run.log" exec setsid -w "${priority[@]}" ctest \
     "${ctest_args[@]}" --output-junit "$root/$results/$run.xml" "$@") >"$results/$run.out" 2>&1 &
  pid[$run]=$!
}

# finish_tests RUN...: waits for each run; shows all its output if it failed,
# else its summary and what ctest skipped; notes its time and skips. Fails
# if any failed.
finish_tests() {
  local run status failed=0
  for run in "$@"; do
    status=0
    wait "${pid[$run]}" || status=$?
    unset "pid[$run]"
    echo "== $run tests"
    if [ "$status" -ne 0 ]; then
      cat "$results/$run.out"
      failed=1
    else
      sed -n -e '/^[0-9]*% tests passed/p' -e '/^The following tests did not run/,/^$/p' "$results/$run.out"
    fi
    times+=("$run tests $(sed -n 's/^Total Test time (real) = *\([0-9]*\).*/\1/p' "$results/$run.out") s")
    skips_of "${dir[$run]}" "$run"
  done
  return "$failed"
}

# Line tables only: what a backtrace needs, at two thirds of the compile
# time of full debug information; -O2 as ever, which the benches need.
phase "release build" build build/release "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" \
  -DZIVUV_BENCH_IN_ALL=OFF
# The benchmarks, which no test runs, are built at the lowest priority
# beside what follows; they must build all the same.
(exec setsid -w "${lowest[@]}" cmake --build build/release -j "$jobs" --target bench_scan bench_service) \
  >"$results/benches.out" 2>&1 &
pid[benches]=$!
# The install tests go beside everything else: the unit's at once, the
# package's (its own build, mostly) at the lowest priority, on what the other
# builds and the tests leave idle.
start_tests build/release install-unit -L install -E package
start_tests --lowest build/release install-package -L install -R package
# The normal build's other tests mostly wait (a debounce, a quiet period):
# they go beside the sanitizer builds, one ctest entry per test function,
# two per core.
ctest_args=(--output-on-failure --timeout 600 -j "$((2 * jobs))")
start_tests build/release release -LE 'unit|install'

# The sanitizer builds compile with line tables only, what their reports
# need: AddressSanitizer's at -O0, which hides nothing from it and compiles
# in two thirds of the time of -O1; ThreadSanitizer's at -O1, as its
# makers advise for a reasonable speed.
phase "asan build" build build/asan -DZIVUV_SANITIZE=asan-ubsan -DZIVUV_BUILD_BENCH=OFF \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O0 -g1 -DNDEBUG"
# Only what the threaded tests run is built here: the unit tests of the queue
# and of the worker, libgit2's loading shared by threads, and the two
# programs with their translations for the pytest files.
phase "tsan build" build build/tsan -DZIVUV_SANITIZE=tsan -DZIVUV_BUILD_BENCH=OFF \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" -- \
  zivuv-folder-monitor zivuv-monitorctl translations watch_tests thread_tests libgit2_tests

phase fuzz fuzz/smoke.sh 5

# Each sanitizer reads its own options; the other builds ignore them.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# The unit tests run by themselves, one build after the other: the queue's
# tests against the kernel are sensitive to other load.
phase "waiting for the normal build's tests" finish_tests release
phase "release unit tests" tests build/release release-unit -L unit
phase "asan unit tests" tests build/asan asan-unit -L unit
phase "tsan unit tests" tests build/tsan tsan-unit -L threaded -L unit

# The sanitizer builds' other tests, both at once, each with three per core.
ctest_args=(--output-on-failure --timeout 600 -j "$((3 * jobs))")
start_tests build/asan asan -LE 'unit|install'
start_tests build/tsan tsan -L threaded -LE unit
phase "the other tests of the sanitizer builds at once" finish_tests asan tsan
phase "waiting for install tests" finish_tests install-unit install-package
# finish_benches: waits for the benchmarks' build; shows its output if it failed.
finish_benches() {
  local status=0
  wait "${pid[benches]}" || status=$?
  unset "pid[benches]"
  [ "$status" -eq 0 ] || { cat "$results/benches.out"; return 1; }
}
phase "waiting for the benchmarks' build" finish_benches

echo "== all tests passed"
summary
if [ "${ZIVUV_FORBID_SKIPS:-0}" = 1 ] && [ -s "$results/skipped" ]; then
  echo "error: $(wc -l <"$results/skipped") skipped, and ZIVUV_FORBID_SKIPS=1 forbids skips here" >&2
  exit 1
fi
