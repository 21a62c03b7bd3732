#!/usr/bin/env bash
# Recognition of 300 dpi A4 text pages (bench/pdf's "text" corpus: pages of a
# PDF Debian ships, with paper tone and mild noise) on one thread, with the
# host's engine and models (ocr_bench.exe): seconds per page as the median of
# every page of every run, words per page and peak memory. ARCH=x86_64
# measures the 64-bit build under wine64 (see bench/arch.sh); ARCH=native
# the same code built natively (-O2, Debian's libtesseract), where neither
# runs at native speed.
#   bench/ocr/run.sh    RUNS=3 PAGES=5 MODE=RGB LANGUAGES=pol+eng
set -euo pipefail
cd "$(dirname "$0")/../.."
source tools/common.sh
native=
if [ "${ARCH:-}" = native ]; then
  native=1
  unset ARCH
fi
source bench/arch.sh
trap skan_cleanup EXIT
export WINEDEBUG=-all
runs=${RUNS:-3}
pages=${PAGES:-5}
mode=${MODE:-RGB}
languages=${LANGUAGES:-pol+eng}
dir=${BENCH_DIR:-/tmp/skan-pdf-bench}/text/$mode
if [ -n "$native" ]; then
  SKAN_BENCH_ARCH=native
  exe=$SKAN_BUILD/ocr_bench_native
  g++ -std=c++20 -O2 -DNDEBUG -Iocr -Idib bench/ocr/ocr_bench.cpp ocr/ocr_engine.cpp ocr/ocr_languages.cpp \
      dib/dib_reader.cpp $(pkg-config --cflags --libs tesseract) -o "$exe"
  # Debian's library uses OpenMP, which the host's build leaves out.
  run() { OMP_THREAD_LIMIT=1 "$exe" "$@"; }
else
  skan_bench_build --target ocr_bench ocr_models >/dev/null
  run() { wine "$SKAN_BENCH_TREE/app/ocr_bench.exe" "$@"; }
fi
[ -f "$dir/page$(printf %03d $((pages - 1))).bmp" ] ||
  { mkdir -p "$dir"; /usr/bin/python3 bench/pdf/make_text_pages.py "$dir" "$mode" "$pages"; }
files=()
for n in $(seq 0 $((pages - 1))); do
  f=$dir/page$(printf %03d "$n").bmp
  if [ -n "$native" ]; then files+=("$f"); else files+=("Z:${f//\//\\}"); fi
done
echo "$pages text $mode pages at 300 dpi, $languages, $runs runs ($SKAN_BENCH_ARCH)"
times=() cpus=() peaks=() words=()
for _ in $(seq "$runs"); do
  out=$(run "$languages" "${files[@]}")
  echo "$out"
  times+=($(sed -nE 's/.* seconds ([0-9.]+).*/\1/p' <<<"$out"))
  cpus+=($(sed -nE 's/.*cpu_seconds ([0-9.]+).*/\1/p' <<<"$out"))
  words+=($(sed -nE 's/.*words ([0-9]+).*/\1/p' <<<"$out"))
  peaks+=($(sed -nE 's/peak_working_set_mb ([0-9.]+)/\1/p' <<<"$out"))
done
median() { tr ' ' '\n' | grep . | sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }
echo "median: $(median <<<"${times[*]}") s per page ($(median <<<"${cpus[*]}") s of CPU), $(median <<<"${words[*]}") words per page," \
     "peak working set $(median <<<"${peaks[*]}") MB"
