#!/usr/bin/env bash
# Fuzzes the bitmap reader with libFuzzer for a fixed time (not run by CI).
# Usage: bench/dib_fuzz.sh [seconds, default 60]. Needs clang with libFuzzer.
# Seeds: one small file of every layout; findings go to build/fuzz-dib/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
out=build/fuzz-dib
mkdir -p "$out/seeds" "$out/corpus"
flags=(-std=c++20 -O1 -g -Idib -Idib/tests)
clang++ "${flags[@]}" dib/fuzz/make_seeds.cpp -o "$out/make_seeds"
"$out/make_seeds" "$out/seeds"
clang++ "${flags[@]}" -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  dib/fuzz/fuzz_bmp.cpp dib/dib_reader.cpp -o "$out/dib_fuzz"
"$out/dib_fuzz" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -artifact_prefix="$out/" \
  -print_final_stats=1 "$out/corpus" "$out/seeds" 2>&1 |
  grep -E "^#[0-9]+.*(DONE|pulse)|stat::number_of_executed_units|ERROR|SUMMARY|Test unit written" || true
if ls "$out"/crash-* "$out"/leak-* "$out"/timeout-* "$out"/oom-* >/dev/null 2>&1; then
  echo "findings in $out/"
  exit 1
fi
echo "no findings in ${seconds}s"
