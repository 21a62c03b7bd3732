#!/usr/bin/env bash
# Fuzzes the viewer's PDF reader with libFuzzer for a fixed time (not run by
# CI). Usage: bench/viewer_fuzz.sh [seconds, default 60]
# Needs clang with libFuzzer (Debian: clang, libclang-rt-dev). Findings are
# written to build/fuzz/; the committed corpus is only read.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
out=build/fuzz
mkdir -p "$out/corpus"
src=pdfview
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$src" "$src"/fuzz/fuzz_reader.cpp \
  "$src"/object.cpp "$src"/lexer.cpp "$src"/source.cpp "$src"/source_posix.cpp "$src"/document.cpp \
  "$src"/filters.cpp "$src"/image.cpp "$src"/render.cpp "$src"/codecs_native.cpp \
  -lz -ldeflate -ljpeg -o "$out/pdfview_fuzz"
# New inputs go to build/fuzz/corpus; the seeds stay as committed.
"$out/pdfview_fuzz" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
  -artifact_prefix="$out/" -print_final_stats=1 "$out/corpus" "$src/fuzz/corpus" 2>&1 |
  grep -E "^#[0-9]+.*(DONE|pulse)|stat::|ERROR|SUMMARY|Test unit written" || true
if ls "$out"/crash-* "$out"/leak-* "$out"/timeout-* >/dev/null 2>&1; then
  echo "findings in $out/"
  exit 1
fi
echo "no findings in ${seconds}s"
