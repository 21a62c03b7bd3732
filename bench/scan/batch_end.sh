#!/usr/bin/env bash
# From the last page file of a batch to "Redy_SCAN", through the host's own
# page pipeline and completion (batch_end_bench.exe), without the scanner,
# the peer and the window: 300 dpi pages of bench/pdf's corpora (CORPUS
# "text", noisy paper that makes a PDF of about 6 MB a colour page, or
# "synthetic"; five pages repeated) land one every DELAY_MS. Prints each run, the median
# and the peak working set. ARCH=x86_64 measures the 64-bit build under
# wine64 (see bench/arch.sh); BEFORE_EXE=<batch_end_bench.exe> runs another
# build in the same alternating runs. OCR=pol+eng (the host's default)
# recognises each page's words as the host does; OCR= leaves it off.
#   bench/scan/batch_end.sh    PAGES=20 DELAY_MS=2000 RUNS=3 MODE=RGB CORPUS=text OCR=pol+eng
set -euo pipefail
cd "$(dirname "$0")/../.."
source tools/common.sh
source bench/arch.sh
trap skan_cleanup EXIT
pages=${PAGES:-20}
delay=${DELAY_MS:-2000}
runs=${RUNS:-3}
mode=${MODE:-RGB}
corpus=${CORPUS:-text}
export OCR_LANGUAGES=${OCR-pol+eng}
export WINEDEBUG=-all
work=${BENCH_DIR:-/tmp/skan-pdf-bench}
exe=$SKAN_BENCH_TREE/app/batch_end_bench.exe
skan_bench_build --target batch_end_bench pdfwriter ocr_models >/dev/null
skan_display
dir=$work/$corpus/$mode
case $corpus in
  text) maker=bench/pdf/make_text_pages.py ;;
  synthetic) maker=bench/pdf/make_pages.py ;;
  *) echo "CORPUS must be text or synthetic" >&2; exit 2 ;;
esac
[ -f "$dir/page004.bmp" ] || { mkdir -p "$dir"; /usr/bin/python3 "$maker" "$dir" "$mode" 5; }
files=()
for n in $(seq 0 $((pages - 1))); do f=$dir/page$(printf %03d $((n % 5))).bmp; files+=("Z:${f//\//\\}"); done

builds=("after=$exe")
[ -z "${BEFORE_EXE:-}" ] || builds+=("before=$BEFORE_EXE")
declare -A times=() peaks=()
echo "$pages $corpus $mode pages at 300 dpi, one every $delay ms, OCR '${OCR_LANGUAGES}', $runs runs ($SKAN_BENCH_ARCH)"
for _ in $(seq "$runs"); do
  for b in "${builds[@]}"; do
    name=${b%%=*}
    line=$(wine "${b#*=}" "$delay" "${files[@]}")
    echo "$name: $line"
    times[$name]+="$(sed -E 's/.*last_page_to_ready_seconds ([0-9.]+).*/\1/' <<<"$line") "
    peaks[$name]+="$(sed -E 's/.*peak_working_set_mb ([0-9.]+).*/\1/' <<<"$line") "
  done
done
median() { tr ' ' '\n' | grep . | sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }
for b in "${builds[@]}"; do
  name=${b%%=*}
  echo "$name median: last page to Redy_SCAN $(median <<<"${times[$name]}") s, peak working set $(median <<<"${peaks[$name]}") MB"
done
