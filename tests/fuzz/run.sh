#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz/build.sh) and runs each for a short
# time on a seed corpus made afresh, so that a fault a target finds within
# seconds cannot land. A crash, a sanitizer report, a hang or a leak ends the
# run with a failure; the input that caused it is kept in <build-dir>/findings/.
#
#   tests/fuzz/run.sh [build-dir] [seconds per target]     (defaults: build-fuzz, 20)
#
# Seeds: the tokenizer gets the Kro sources of the library and of the tables;
# DEFLATE gets each framing of a few texts (made with python3's zlib); the
# KROBIN, image and evaluation targets write their own seeds (KROBIN of many
# values, small images of each format, one program per case of the tables).
# The KROBIN target runs twice: codec mode, then boot mode (KROBIN_FUZZ_BOOT=1).
set -Eeuo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT=${1:-"$ROOT/build-fuzz"}
SECONDS_EACH=${2:-20}
case $OUT in /*) ;; *) OUT="$PWD/$OUT" ;; esac

"$ROOT/tests/fuzz/build.sh" "$OUT"

corpus="$OUT/corpus"
findings="$OUT/findings"
rm -rf "$corpus"
mkdir -p "$corpus"/{lexer,krobin,krobin-boot,decompress,image,eval} "$findings"

# tokenizer: mode byte 0 (load everything from UTF-8), then a source file
i=0
for f in "$ROOT"/library/*.kro "$ROOT"/tests/kro/*.kro; do
  { printf '\000'; head -c 4096 "$f"; } > "$corpus/lexer/seed-$i"
  i=$((i + 1))
done

# DEFLATE: the first byte picks the framing (mode % 3) and the way output is
# sized, the second the room of a fixed output buffer
python3 - "$corpus/decompress" <<'EOF'
import sys, zlib, gzip, os
out = sys.argv[1]
texts = [b"", b"a", b"hello hello hello hello", bytes(range(256)) * 4, b"Kro [] print 1 + 2\n" * 50]
n = 0
for t in texts:
    raw = zlib.compressobj(9, zlib.DEFLATED, -15)
    framings = [raw.compress(t) + raw.flush(), zlib.compress(t), gzip.compress(t, mtime=0)]
    for mode in range(3):
        for extra in (0, 8):
            with open(os.path.join(out, "seed-%d" % n), "wb") as f:
                f.write(bytes([mode | extra, 64]) + framings[mode])
            n += 1
EOF

KROBIN_FUZZ_SEEDS="$corpus/krobin" "$OUT/krobin_fuzz" -runs=0 >/dev/null 2>&1
KROBIN_FUZZ_BOOT=1 KROBIN_FUZZ_SEEDS="$corpus/krobin-boot" "$OUT/krobin_fuzz" -runs=0 >/dev/null 2>&1
IMAGE_FUZZ_SEEDS="$corpus/image" "$OUT/image_fuzz" -runs=0 >/dev/null 2>&1
EVAL_FUZZ_SEEDS="$corpus/eval" EVAL_FUZZ_TABLES="$ROOT/tests/kro" "$OUT/eval_fuzz" -runs=0 >/dev/null 2>&1

run() {  # run <target> <corpus> [libFuzzer options...]
  local target=$1 dir=$2
  shift 2
  echo "== fuzz $target for ${SECONDS_EACH}s ($(ls "$dir" | wc -l) seeds)"
  if ! "$OUT/$target" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="$findings/$target-" "$@" "$dir" > "$OUT/$target.log" 2>&1; then
    tail -n 60 "$OUT/$target.log"
    echo "== fuzz $target FAILED: see $OUT/$target.log and $findings/" >&2
    return 1
  fi
  grep -E "^stat::number_of_executed_units" "$OUT/$target.log" || true
}

status=0
run lexer_fuzz "$corpus/lexer" || status=1
run krobin_fuzz "$corpus/krobin" || status=1
KROBIN_FUZZ_BOOT=1 run krobin_fuzz "$corpus/krobin-boot" || status=1
run decompress_fuzz "$corpus/decompress" || status=1
run image_fuzz "$corpus/image" || status=1
run eval_fuzz "$corpus/eval" -dict="$ROOT/tests/fuzz/eval_fuzz.dict" || status=1
exit $status
