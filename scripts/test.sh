#!/usr/bin/env bash
# Builds Kro and runs every test.
#
#   scripts/test.sh            Release build in build/: ctest, then ctest with
#                              the collector in sampled stress mode
#   scripts/test.sh sanitize   Debug build with ASan and UBSan in build-asan/:
#                              ctest with the collector in sampled stress mode
#   scripts/test.sh fuzz       the libFuzzer targets (clang), each run for a
#                              short time on its seed corpus, in build-fuzz/
#   scripts/test.sh all        all three (what CI runs)
#
# KRO_BUILD_DIR, KRO_ASAN_BUILD_DIR and KRO_FUZZ_BUILD_DIR choose other build
# folders; KRO_FUZZ_SECONDS the time of each fuzz target (20).
#
# Stress mode (KRO_GC_STRESS) makes every collection move every buffer and
# node, poison or protect what they left, and check the heap. Sampled
# (KRO_GC_STRESS=sampled) collects at the first visit of each place of the
# code and at seeded random gaps elsewhere; the seed is printed below, and
# KRO_GC_STRESS_SEED=<seed> scripts/test.sh repeats the same collections.
# KRO_GC_STRESS=1 (every safe point) is for hunting a fault by hand.
set -Eeuo pipefail
trap 'echo "== TESTS FAILED (status $?)${seed:+; the stress passes used KRO_GC_STRESS_SEED=$seed}" >&2' ERR
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
mode=${1:-release}
seed=${KRO_GC_STRESS_SEED:-$(( (RANDOM << 15 | RANDOM) + 1 ))}
# a test may take a minute on a busy machine; the limit only stops a hang
timeout=300

phase_start=$(date +%s)
phase() {  # phase <title>: prints the time the previous phase took, then the title
  local now
  now=$(date +%s)
  echo "== ($(( now - phase_start ))s) $*"
  phase_start=$now
}

build() {  # build <dir> <cmake options...>
  local dir=$1
  shift
  phase "configure $dir ($*)"
  cmake -S . -B "$dir" -G Ninja "$@"
  phase "build $dir"
  ninja -C "$dir" -j "$jobs"
}

stressed() {  # stressed <dir> <seed>: ctest with sampled stress mode
  phase "test $1 with KRO_GC_STRESS=sampled KRO_GC_STRESS_SEED=$2"
  KRO_GC_STRESS=sampled KRO_GC_STRESS_SEED=$2 ctest --test-dir "$1" -j "$jobs" --output-on-failure --timeout $timeout
}

release() {
  local dir=${KRO_BUILD_DIR:-build}
  build "$dir" -DCMAKE_BUILD_TYPE=Release -DKRO_SANITIZE=OFF
  phase "test $dir"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout $timeout
  stressed "$dir" "$seed"
}

sanitize() {
  # Any finding of a sanitizer ends the test with a failure (-fno-sanitize-recover).
  # The release build runs the suite without stress; this build runs it once,
  # stressed with another seed.
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
  local dir=${KRO_ASAN_BUILD_DIR:-build-asan}
  build "$dir" -DCMAKE_BUILD_TYPE=Debug -DKRO_SANITIZE=ON
  stressed "$dir" "$(( seed + 1 ))"
}

fuzz() {
  phase "fuzz targets"
  NINJA_JOBS=$jobs tests/fuzz/run.sh "${KRO_FUZZ_BUILD_DIR:-build-fuzz}" "${KRO_FUZZ_SECONDS:-20}"
}

echo "== stress seed $seed (KRO_GC_STRESS_SEED=$seed $0 $mode repeats it)"
case $mode in
  release) release ;;
  sanitize) sanitize ;;
  fuzz) fuzz ;;
  all)
    release
    sanitize
    fuzz
    ;;
  *) echo "usage: $0 [release|sanitize|fuzz|all]" >&2; exit 2 ;;
esac
phase "done"
echo "== all tests passed ($mode)"
