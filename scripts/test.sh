#!/usr/bin/env bash
# Builds Kro and runs every test: ctest, then ctest again with the collector in
# stress mode (KRO_GC_STRESS=1).
#
#   scripts/test.sh            Release build in build/
#   scripts/test.sh sanitize   Debug build with ASan and UBSan in build-asan/
#   scripts/test.sh all        both
#
# KRO_BUILD_DIR and KRO_ASAN_BUILD_DIR choose other build folders.
set -Eeuo pipefail
trap 'echo "== TESTS FAILED (status $?)" >&2' ERR
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
mode=${1:-release}

run() {  # run <build dir> <cmake options...>
  local dir=$1
  shift
  echo "== configure $dir ($*)"
  cmake -S . -B "$dir" -G Ninja "$@"
  echo "== build $dir"
  ninja -C "$dir" -j "$jobs"
  echo "== test $dir"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 900
  echo "== test $dir with KRO_GC_STRESS=1"
  KRO_GC_STRESS=1 ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 900
}

release() { run "${KRO_BUILD_DIR:-build}" -DCMAKE_BUILD_TYPE=Release -DKRO_SANITIZE=OFF; }
sanitize() {
  # Any finding of a sanitizer ends the test with a failure (-fno-sanitize-recover).
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
  run "${KRO_ASAN_BUILD_DIR:-build-asan}" -DCMAKE_BUILD_TYPE=Debug -DKRO_SANITIZE=ON
}

case $mode in
  release) release ;;
  sanitize) sanitize ;;
  all)
    release
    sanitize
    ;;
  *) echo "usage: $0 [release|sanitize|all]" >&2; exit 2 ;;
esac
echo "== all tests passed ($mode)"
