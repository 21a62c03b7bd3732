#!/usr/bin/env bash
# Assembling scanned BMP pages into one A4 PDF: the host's assembly
# (pdf_bench.exe under Wine: the code scan completion runs; its time is the
# time inside the assembly, its CPU time the whole process's) beside Debian's
# img2pdf on the same files, runs alternating so that both see the same load.
# Two corpora of 300 dpi A4 pages in colour, grey and black-and-white: "text"
# (pages of a PDF that Debian ships, rendered with paper tone and mild noise)
# and "synthetic" (noisy paper, word blocks and a picture). Prints medians of
# RUNS runs, the ratios host / img2pdf, peak memory and PDF sizes; then the
# host's peak memory for a BIG-page colour scan.
#   bench/pdf/run.sh     PAGES=5 RUNS=5 BIG=100 CORPORA="text synthetic" MODES="RGB L 1"
# HOST_EXE=<pdf_bench.exe> measures another build (with its pdfwriter.dll
# beside it) instead; BEFORE_EXE=<pdf_bench.exe> measures one more build in
# the same alternating runs (an earlier commit's, for a before/after table);
# MORE_EXES="label=<pdf_bench.exe> ..." more builds still.
# ARCH=x86_64 measures the 64-bit build under wine64 (see bench/arch.sh).
# Each build runs once per compression of COMPRESSIONS (default "compact
# lossless": a request's default, and the pages as before), in the same
# alternating runs; an older build than the compact form stores every page
# lossless whatever it is told.
set -euo pipefail
cd "$(dirname "$0")/../.."
source tools/common.sh
source bench/arch.sh
trap skan_cleanup EXIT

pages=${PAGES:-5}
runs=${RUNS:-5}
big=${BIG:-100}
work=${BENCH_DIR:-/tmp/skan-pdf-bench}
py=/usr/bin/python3  # Debian's, with PIL

bench_exe=${HOST_EXE:-$SKAN_BENCH_TREE/app/pdf_bench.exe}
[ -n "${HOST_EXE:-}" ] || skan_bench_build --target pdf_bench pdfwriter >/dev/null
skan_display
winpath() { echo "Z:${1//\//\\}"; }

mkdir -p "$work/out"
for corpus in ${CORPORA:-text synthetic}; do
  for mode in ${MODES:-RGB L 1}; do
    dir=$work/$corpus/$mode
    if [ ! -f "$dir/page$(printf %03d $((pages - 1))).bmp" ]; then
      mkdir -p "$dir"
      case $corpus in
        text) $py bench/pdf/make_text_pages.py "$dir" "$mode" "$pages" ;;
        synthetic) $py bench/pdf/make_pages.py "$dir" "$mode" "$pages" ;;
      esac
    fi
  done
done

# run_cmd <command...>: runs it, leaves "wall_s cpu_s maxrss_kb" in $work/time.txt
run_cmd() {
  /usr/bin/time -f "%e %U %S %M" -o "$work/time.raw" "$@" >"$work/stdout.txt" 2>"$work/stderr.txt" || {
    echo "failed: $*" >&2; cat "$work/stderr.txt" >&2; return 1; }
  awk '{print $1, $2 + $3, $4}' "$work/time.raw" >"$work/time.txt"
}
median() { sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

printf "%-9s %-4s %-15s | %8s %8s %6s | %8s %8s %6s | %6s %6s | %6s %6s %5s\n" corpus mode build "host s" "img2pdf" \
  ratio "host cpu" "img2pdf" ratio "peakMB" "i2p MB" "PDF MB" "i2p MB" ratio
plain=("after=$bench_exe")
[ -z "${BEFORE_EXE:-}" ] || plain+=("before=$BEFORE_EXE")
for extra in ${MORE_EXES:-}; do plain+=("$extra"); done
builds=()
for b in "${plain[@]}"; do
  for c in ${COMPRESSIONS:-compact lossless}; do builds+=("${b%%=*}/$c=${b#*=}"); done
done
for corpus in ${CORPORA:-text synthetic}; do
  for mode in ${MODES:-RGB L 1}; do
    dir=$work/$corpus/$mode
    files=("$dir"/page*.bmp)
    files=("${files[@]:0:$pages}")
    wfiles=()
    for f in "${files[@]}"; do wfiles+=("$(winpath "$f")"); done
    declare -A hw=() hc=() hpeak=() hsize=()
    iw=() ic=()
    for _ in $(seq "$runs"); do
      for b in "${builds[@]}"; do
        name=${b%%=*}
        rm -f "$work"/out/*
        COMPRESSION=${name#*/} run_cmd wine "${b#*=}" "$(winpath "$work/out")" "${wfiles[@]}"
        inner=$(cat "$work/stdout.txt")
        hw[$name]+="$(sed -E 's/.* seconds ([0-9.]+) .*/\1/' <<<"$inner") "
        hc[$name]+="$(sed -E 's/.*cpu_seconds ([0-9.]+) .*/\1/' <<<"$inner") "
        hpeak[$name]=$(sed -E 's/.*peak_working_set_mb ([0-9.]+).*/\1/' <<<"$inner")
        hsize[$name]=$(stat -c %s "$(ls "$work"/out/*.pdf)")
      done
      run_cmd img2pdf --pagesize A4 --fit exact -o "$work/out/i.pdf" "${files[@]}"
      iw+=("$(awk '{print $1}' "$work/time.txt")")
      ic+=("$(awk '{print $2}' "$work/time.txt")")
      ipeak=$(awk '{printf "%.1f", $3 / 1024}' "$work/time.txt")
      isize=$(stat -c %s "$work/out/i.pdf")
    done
    miw=$(printf '%s\n' "${iw[@]}" | median) mic=$(printf '%s\n' "${ic[@]}" | median)
    for b in "${builds[@]}"; do
      name=${b%%=*}
      mhw=$(tr ' ' '\n' <<<"${hw[$name]}" | grep . | median) mhc=$(tr ' ' '\n' <<<"${hc[$name]}" | grep . | median)
      printf "%-9s %-4s %-15s | %8.3f %8.3f %6s | %8.3f %8.3f %6s | %6s %6s | %6.2f %6.2f %5s\n" "$corpus" "$mode" \
        "$name" "$mhw" "$miw" "$(ratio "$mhw" "$miw")" "$mhc" "$mic" "$(ratio "$mhc" "$mic")" "${hpeak[$name]}" \
        "$ipeak" "$(awk -v s="${hsize[$name]}" 'BEGIN {print s / 1048576}')" \
        "$(awk -v s="$isize" 'BEGIN {print s / 1048576}')" "$(ratio "${hsize[$name]}" "$isize")"
    done
  done
done

[ "$big" -gt 0 ] || exit 0
# A long colour scan: the synthetic colour pages over and over, $big pages.
corpora=${CORPORA:-text synthetic}
src=$work/${corpora%% *}/RGB
src=${src// /}
list=()
for i in $(seq 0 $((big - 1))); do
  list+=("$(winpath "$src/page$(printf %03d $((i % pages))).bmp")")
done
rm -f "$work"/out/*
run_cmd wine "$bench_exe" "$(winpath "$work/out")" "${list[@]}"
echo "host, $big colour pages: $(sed -E 's/ pdf .*//' "$work/stdout.txt"), wall $(awk '{print $1}' "$work/time.txt") s," \
     "maxrss $(awk '{printf "%.1f", $3 / 1024}' "$work/time.txt") MB, PDF $(du -m "$work"/out/*.pdf | cut -f1) MB"
