#!/bin/sh
# Builds the libFuzzer targets (the tokenizer's, the KROBIN reader's and the
# decoders' behind decompress) with
# clang, AddressSanitizer and UndefinedBehaviorSanitizer, in their own build
# directory (CI builds with g++ and does not build them).
#   tests/fuzz/build.sh [build-dir]        then   build-dir/lexer_fuzz -runs=1000000 corpus-dir
#                                          or     build-dir/krobin_fuzz -runs=1000000 corpus-dir
#                                          or     build-dir/decompress_fuzz -runs=1000000 corpus-dir
# KROBIN_FUZZ_SEEDS=corpus-dir build-dir/krobin_fuzz -runs=0 writes a seed corpus first.
set -e
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT=${1:-"$ROOT/build-fuzz"}
SAN="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$OUT" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link $SAN" >/dev/null
ninja -C "$OUT" kro_runtime
for target in lexer_fuzz krobin_fuzz decompress_fuzz; do
    clang++ -std=c++20 -O1 -g -fsanitize=fuzzer $SAN -ffp-contract=off -I "$ROOT" \
        "$ROOT/tests/fuzz/$target.cpp" "$OUT/libkro_runtime.a" -lcrypto -lcurl -lpng -ljpeg -lgif -ltiff -lpthread -o "$OUT/$target"
    echo "built $OUT/$target"
done
