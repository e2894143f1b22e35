#!/bin/sh
# Builds the tokenizer's libFuzzer target with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, in its own build directory (CI builds with g++
# and does not build it).
#   tests/fuzz/build.sh [build-dir]        then   build-dir/lexer_fuzz -runs=1000000 corpus-dir
set -e
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT=${1:-"$ROOT/build-fuzz"}
SAN="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$OUT" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link $SAN" >/dev/null
ninja -C "$OUT" kro_runtime
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer $SAN -ffp-contract=off -I "$ROOT" \
    "$ROOT/tests/fuzz/lexer_fuzz.cpp" "$OUT/libkro_runtime.a" -lcrypto -lpthread -o "$OUT/lexer_fuzz"
echo "built $OUT/lexer_fuzz"
