#!/usr/bin/env bash
# CPU time of storing pages compact against lossless through the library's
# core built natively (compact_page), runs alternating so that both see the
# same load; BEFORE=<compact_page> adds an earlier build's compact run to
# each round. Prints the medians of user+system seconds and of wall seconds
# per build and compression, and the ratios to lossless.
#   bench/pdf/compact_cpu.sh   RUNS=5 MODES="RGB L" PAGES=3 BENCH_DIR=/tmp/skan-pdf-bench
set -euo pipefail
cd "$(dirname "$0")/../.."
runs=${RUNS:-5}
pages=${PAGES:-3}
work=${BENCH_DIR:-/tmp/skan-pdf-bench}
tree=build/bench-native
cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSKAN_SANITIZE=OFF >/dev/null
cmake --build "$tree" --target compact_page >/dev/null
exe=$PWD/$tree/pdfwriter/compact_page
median() { sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }
builds=("after/compact=$exe compact" "after/lossless=$exe lossless")
[ -z "${BEFORE:-}" ] || builds+=("before/compact=$BEFORE compact")
for mode in ${MODES:-RGB L}; do
  dir=$work/text/$mode
  if [ ! -f "$dir/page$(printf %03d $((pages - 1))).bmp" ]; then
    mkdir -p "$dir"
    /usr/bin/python3 bench/pdf/make_text_pages.py "$dir" "$mode" "$pages"
  fi
  files=("$dir"/page*.bmp)
  files=("${files[@]:0:$pages}")
  declare -A cpu=() wall=()
  for _ in $(seq "$runs"); do
    for b in "${builds[@]}"; do
      # shellcheck disable=SC2086
      /usr/bin/time -f "%e %U %S" -o "$work/cpu.txt" ${b#*=} "$work/cpu.pdf" "${files[@]}" >/dev/null
      cpu[${b%%=*}]+="$(awk '{print $2 + $3}' "$work/cpu.txt") "
      wall[${b%%=*}]+="$(awk '{print $1}' "$work/cpu.txt") "
    done
  done
  lc=$(tr ' ' '\n' <<<"${cpu[after/lossless]}" | grep . | median)
  for b in "${builds[@]}"; do
    name=${b%%=*}
    c=$(tr ' ' '\n' <<<"${cpu[$name]}" | grep . | median) w=$(tr ' ' '\n' <<<"${wall[$name]}" | grep . | median)
    printf "text %-3s %-15s cpu %6.3f s (%s) wall %6.3f s, cpu / lossless %.2f\n" "$mode" "$name" "$c" \
      "$(tr -s ' ' <<<"${cpu[$name]}")" "$w" "$(awk -v a="$c" -v b="$lc" 'BEGIN {print a / b}')"
  done
  unset cpu wall
done
