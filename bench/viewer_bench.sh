#!/usr/bin/env bash
# Benchmark of the document pane under Wine (not run by CI): time from
# Navigate to the first page on screen and peak memory, for a 100-page
# 300 dpi colour scan (A4, JPEG pages as scanners write them) and, to show
# that memory does not follow the page count, the same for 10 pages; then
# the host's own lossless output (20 colour text pages at 300 dpi, assembled
# by pdf_bench). VIEWER_EXE=<viewer_bench.exe> measures another build;
# ARCH=x86_64 the 64-bit build under wine64 (see bench/arch.sh).
# BEFORE_EXE=<viewer_bench.exe> of an earlier build runs beside it: ROUNDS
# (default 3) alternating rounds of both, each round a program run of [runs]
# Navigates, then the medians over the rounds of each round's median.
# PHASES=1 also times the reader's steps for the first page without the
# window (opening, preview with the decode, page, the decode alone).
# Usage: bench/viewer_bench.sh [runs, default 5]
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh
source bench/arch.sh
runs=${1:-5}
out=$SKAN_BUILD/bench-viewer
mkdir -p "$out"
if [ -z "${DISPLAY:-}" ]; then trap skan_cleanup EXIT; skan_display; else skan_wine_prefix; fi
[ -n "${VIEWER_EXE:-}" ] || skan_bench_build --target viewer_bench >/dev/null
skan_bench_build --target pdf_bench pdfwriter >/dev/null

# Five different colour pages of 2480 x 3508 pixels (A4 at 300 dpi).
if [ ! -f "$out/scan100.pdf" ]; then
  for i in 1 2 3 4 5; do
    convert -seed "$i" -size 620x877 plasma:fractal -resize '2480x3508!' \
      -fill black -draw "rectangle 100,100 $((200 * i)),300" -density 300 -units PixelsPerInch -quality 85 "$out/page$i.jpg"
  done
  pages=()
  for n in $(seq 0 99); do pages+=("$out/page$((n % 5 + 1)).jpg"); done
  img2pdf "${pages[@]}" -o "$out/scan100.pdf"
  img2pdf "${pages[@]:0:10}" -o "$out/scan10.pdf"
fi

if [ ! -f "$out/ours20.pdf" ]; then
  mkdir -p "$out/text"
  /usr/bin/python3 bench/pdf/make_text_pages.py "$out/text" RGB 1
  mkdir -p "$out/assembled"
  rm -f "$out"/assembled/*
  pages=()
  for n in $(seq 20); do pages+=("$(winepath -w "$out/text/page000.bmp")"); done
  wine "$SKAN_BENCH_TREE/app/pdf_bench.exe" "$(winepath -w "$out/assembled")" "${pages[@]}" >/dev/null
  mv "$out"/assembled/*.pdf "$out/ours20.pdf"
fi

viewer=${VIEWER_EXE:-$SKAN_BENCH_TREE/pdfview/viewer_bench.exe}
phases=()
[ -z "${PHASES:-}" ] || phases=(phases)
median() { sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }
for doc in scan100 scan10 ours20; do
  echo "== $doc.pdf ($(du -h "$out/$doc.pdf" | cut -f1))"
  if [ -z "${BEFORE_EXE:-}" ]; then
    wine "$viewer" "$(winepath -w "$out/$doc.pdf")" "$runs" "${phases[@]}" 2>/dev/null
    continue
  fi
  rm -f "$out"/rounds.*
  for _ in $(seq "${ROUNDS:-3}"); do
    for b in "after=$viewer" "before=$BEFORE_EXE"; do
      wine "${b#*=}" "$(winepath -w "$out/$doc.pdf")" "$runs" "${phases[@]}" 2>/dev/null >"$out/round.txt"
      sed -nE 's/^phases: open ([0-9.]+) ms, preview .* ([0-9.]+) ms, page ([0-9.]+) ms.*/\1 \2 \3/p' "$out/round.txt" \
        >>"$out/rounds.${b%%=*}.phases"
      sed -nE 's/^phases: first image alone, read and decoded ([0-9.]+) ms.*/\1/p' "$out/round.txt" \
        >>"$out/rounds.${b%%=*}.decode"
      sed -nE 's/^first page: median ([0-9.]+) ms.*/\1/p' "$out/round.txt" >>"$out/rounds.${b%%=*}.first"
      sed -nE 's/^first page at full quality: median ([0-9.]+) ms.*/\1/p' "$out/round.txt" >>"$out/rounds.${b%%=*}.sharp"
      sed -nE 's/^page down .*: median ([0-9.]+) ms.*/\1/p' "$out/round.txt" >>"$out/rounds.${b%%=*}.turn"
      sed -nE 's/^peak working set: ([0-9.]+) MB.*/\1/p' "$out/round.txt" >>"$out/rounds.${b%%=*}.peak"
    done
  done
  for name in after before; do
    printf "%-6s first page %7.1f ms, at full quality %7.1f ms, page down %7.1f ms, peak %6.1f MB\n" "$name" \
      "$(median <"$out/rounds.$name.first")" "$(median <"$out/rounds.$name.sharp")" \
      "$(median <"$out/rounds.$name.turn")" "$(median <"$out/rounds.$name.peak")"
    [ -s "$out/rounds.$name.phases" ] || continue
    printf "%-6s phases: open %5.1f ms, preview with the decode %5.1f ms, page %5.1f ms, decode alone %5.1f ms\n" \
      "$name" "$(cut -d' ' -f1 "$out/rounds.$name.phases" | median)" "$(cut -d' ' -f2 "$out/rounds.$name.phases" | median)" \
      "$(cut -d' ' -f3 "$out/rounds.$name.phases" | median)" "$(median <"$out/rounds.$name.decode")"
  done
done
