#!/usr/bin/env bash
# Assembling scanned BMP pages into one A4 PDF: the host's assembly
# (pdf_bench.exe under Wine: the code scan completion runs) beside Debian's
# img2pdf and ImageMagick on the same files. For 20 pages at 300 dpi in
# colour, grey and black-and-white: wall time (median of RUNS), peak memory and
# PDF size; then the host's peak memory for a 100-page colour scan.
#   bench/pdf/run.sh            PAGES=20 RUNS=3 BIG=100 by default
set -euo pipefail
cd "$(dirname "$0")/../.."
source tools/common.sh
trap skan_cleanup EXIT

pages=${PAGES:-20}
runs=${RUNS:-3}
big=${BIG:-100}
work=${BENCH_DIR:-/tmp/skan-pdf-bench}
convert=$(command -v convert-im6.q16 || command -v magick || echo convert)

skan_build_win --target pdf_bench pdfwriter >/dev/null
skan_display
bench_exe=$SKAN_BUILD/win/app/pdf_bench.exe
winpath() { echo "Z:${1//\//\\}"; }

mkdir -p "$work/out"
for mode in RGB L 1; do
  dir=$work/$mode
  if [ ! -f "$dir/page$(printf %03d $((pages - 1))).bmp" ]; then
    mkdir -p "$dir"
    /usr/bin/python3 bench/pdf/make_pages.py "$dir" "$mode" "$pages"
  fi
done

# time_cmd <output file> <command...>: prints "seconds maxrss_kb"
time_cmd() {
  local out=$1; shift
  /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >"$work/stdout.txt" 2>"$work/stderr.txt" || {
    echo "failed: $*" >&2; cat "$work/stderr.txt" >&2; return 1; }
  echo "$(cat "$work/time.txt") $(stat -c %s "$out")"
}

median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

printf "%-6s %-22s %10s %12s %12s\n" mode tool "median s" "peak MB" "PDF MB"
for mode in ${MODES:-RGB L 1}; do
  dir=$work/$mode
  files=("$dir"/page*.bmp)
  files=("${files[@]:0:$pages}")
  wfiles=()
  for f in "${files[@]}"; do wfiles+=("$(winpath "$f")"); done
  for tool in host img2pdf imagemagick; do
    label=$tool
    if [ "$tool" = imagemagick ] && [ "$pages" -gt 12 ]; then
      # Debian's policy caps ImageMagick's pixel cache (1 GiB on disk, 256 MiB
      # in memory), which holds every page at 16 bits a channel: from about
      # 15 pages at 300 dpi on, the conversion fails.
      files=("${files[@]:0:12}")
      label="imagemagick(12 pages)"
    fi
    times=()
    for _ in $(seq "$runs"); do
      rm -f "$work"/out/*
      case $tool in
        host)
          r=$(time_cmd /dev/null wine "$bench_exe" "$(winpath "$work/out")" "${wfiles[@]}")
          pdf=$(ls "$work"/out/*.pdf)
          inner=$(cat "$work/stdout.txt")
          peak=$(sed -E 's/.*peak_working_set_mb ([0-9.]+).*/\1/' <<<"$inner")
          size=$(stat -c %s "$pdf") ;;
        img2pdf)
          r=$(time_cmd "$work/out/i.pdf" img2pdf --pagesize A4 --fit exact -o "$work/out/i.pdf" "${files[@]}")
          peak=$(awk '{printf "%.1f", $2 / 1024}' <<<"$r")
          size=$(awk '{print $3}' <<<"$r") ;;
        imagemagick)
          # "PDFA:": Debian's security policy forbids the "PDF" coder name,
          # not the same writer under this one.
          r=$(time_cmd "$work/out/m.pdf" "$convert" -units PixelsPerInch -density 300 "${files[@]}" \
              -compress Zip "PDFA:$work/out/m.pdf") || r="nan 0 0"
          peak=$(awk '{printf "%.1f", $2 / 1024}' <<<"$r")
          size=$(awk '{print $3}' <<<"$r") ;;
      esac
      times+=("$(awk '{print $1}' <<<"$r")")
    done
    printf "%-6s %-22s %10s %12s %12.2f\n" "$mode" "$label" "$(printf '%s\n' "${times[@]}" | median)" "$peak" \
      "$(awk -v s="$size" 'BEGIN {print s / 1048576}')"
  done
done

[ "$big" -gt 0 ] || exit 0
# A long colour scan: the same 20 files over and over, $big pages.
list=()
for i in $(seq 0 $((big - 1))); do
  list+=("$(winpath "$work/RGB/page$(printf %03d $((i % pages))).bmp")")
done
rm -f "$work"/out/*
r=$(time_cmd /dev/null wine "$bench_exe" "$(winpath "$work/out")" "${list[@]}")
echo "host, $big colour pages: $(cat "$work/stdout.txt" | sed -E 's/ pdf .*//'), wall $(awk '{print $1}' <<<"$r") s, maxrss $(awk '{printf "%.1f", $2 / 1024}' <<<"$r") MB, PDF $(du -m "$work"/out/*.pdf | cut -f1) MB"
