#!/usr/bin/env bash
# The compact form of scanned pages against lossless: sizes per page (and
# against the page as one JPEG at quality 75), a photograph's SSIM at 150 dpi,
# the character error rate of tesseract (pol+eng) on text pages rendered back
# at 300 dpi, compact against lossless, and the colour of a red stamp and a
# blue signature (ΔE). The pages come from make_compact_pages.py (text set by
# text2image, a photograph from mate-backgrounds); they are stored by the
# library's portable core built natively without sanitizers (the same code
# as in pdfwriter.dll), one PDF per page and form.
#   bench/pdf/compact.sh     PAGES=2
# Needs tesseract-ocr with -pol and -eng, poppler-utils, python3-numpy,
# python3-pil and mate-backgrounds (tools/install-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/../.."
pages=${PAGES:-2}
work=${BENCH_DIR:-/tmp/skan-compact-bench}
tree=build/bench-native
py=/usr/bin/python3  # Debian's, with PIL and numpy

cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSKAN_SANITIZE=OFF >/dev/null
cmake --build "$tree" --target compact_page >/dev/null
mkdir -p "$work"
[ -f "$work/text$((pages - 1))-RGB.bmp" ] || $py bench/pdf/make_compact_pages.py "$work" "$pages"

for bmp in "$work"/*.bmp; do
  name=${bmp%.bmp}
  for form in compact lossless; do
    "$tree/pdfwriter/compact_page" "$form" "$name-$form.pdf" "$bmp" | sed -n 1p
  done
done
$py bench/pdf/compact_figures.py "$work"
