# Sourced by run.sh and smoke.sh: builds the fuzz targets in build/fuzz.
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/fuzz"
targets="bookmark settings"

build_fuzzers() {
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZIVUV_FUZZ=ON -DZIVUV_BUILD_TESTS=OFF -DZIVUV_BUILD_BENCH=OFF -DCMAKE_UNITY_BUILD=ON >/dev/null
  cmake --build "$build" -j"$(nproc)" --target fuzz_bookmark fuzz_settings
}
