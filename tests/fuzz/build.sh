#!/bin/sh
# Builds the libFuzzer targets (the tokenizer's, the KROBIN reader's, the
# decoders' behind decompress, the image decoders' and the evaluator's) with
# clang, AddressSanitizer and UndefinedBehaviorSanitizer, in their own build
# directory (CI builds with g++ and does not build them). The library is linked
# whole: groups of natives register themselves through objects nothing names.
# KRO_FUZZ_SANDBOX is defined for the whole build: the platform layer then
# refuses files, directories, processes, the network, the clipboard, the
# terminal and standard input, so that random programs cannot reach the machine.
#   tests/fuzz/build.sh [build-dir]        then   build-dir/lexer_fuzz -runs=1000000 corpus-dir
#                                          or     build-dir/krobin_fuzz -runs=1000000 corpus-dir
#                                          or     build-dir/decompress_fuzz -runs=1000000 corpus-dir
#                                          or     build-dir/image_fuzz -runs=1000000 corpus-dir
#                                          or     build-dir/eval_fuzz -dict=tests/fuzz/eval_fuzz.dict corpus-dir
# KROBIN_FUZZ_SEEDS=corpus-dir build-dir/krobin_fuzz -runs=0 writes a seed corpus first;
# IMAGE_FUZZ_SEEDS=corpus-dir build-dir/image_fuzz -runs=0 likewise.
# EVAL_FUZZ_SEEDS=corpus-dir build-dir/eval_fuzz -runs=0 writes one small program
# per case of the tables in tests/kro/ (EVAL_FUZZ_TABLES=dir to read them elsewhere).
# NINJA_JOBS=n limits the build's parallel jobs.
set -e
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT=${1:-"$ROOT/build-fuzz"}
SAN="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -DKRO_FUZZ_SANDBOX"
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$OUT" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link $SAN" >/dev/null
ninja -C "$OUT" ${NINJA_JOBS:+-j "$NINJA_JOBS"} kro_runtime
for target in lexer_fuzz krobin_fuzz decompress_fuzz image_fuzz eval_fuzz; do
    clang++ -std=c++20 -O1 -g -fsanitize=fuzzer $SAN -ffp-contract=off -I "$ROOT" \
        "$ROOT/tests/fuzz/$target.cpp" -Wl,--whole-archive "$OUT/libkro_runtime.a" -Wl,--no-whole-archive -lz -ldl -lpthread -o "$OUT/$target"
    echo "built $OUT/$target"
done
