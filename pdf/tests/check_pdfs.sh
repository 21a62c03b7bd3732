#!/usr/bin/env bash
# Every PDF under the given folder passes qpdf's check and renders, page by
# page, in poppler (pdftoppm) and in MuPDF (mutool).
set -uo pipefail
dir=${1:?folder}
for tool in qpdf pdftoppm mutool; do
  command -v "$tool" >/dev/null || { echo "missing $tool"; exit 1; }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
count=0 failed=0
while IFS= read -r -d '' pdf; do
  count=$((count + 1))
  if ! out=$(qpdf --check "$pdf" 2>&1); then echo "qpdf --check failed: $pdf"; echo "$out"; failed=1; fi
  pages=$(qpdf --show-npages "$pdf" 2>/dev/null || echo 0)
  rm -f "$tmp"/*
  if ! pdftoppm -r 10 "$pdf" "$tmp/p" 2>"$tmp/err"; then echo "pdftoppm failed: $pdf"; cat "$tmp/err"; failed=1; fi
  rendered=$(find "$tmp" -name 'p*.ppm' | wc -l)
  [ "$rendered" -eq "$pages" ] || { echo "pdftoppm rendered $rendered of $pages pages: $pdf"; failed=1; }
  if ! mutool draw -q -r 10 -o "$tmp/m%d.png" "$pdf" 2>"$tmp/err" || grep -qi error "$tmp/err"; then
    echo "mutool draw failed: $pdf"; cat "$tmp/err"; failed=1
  fi
done < <(find "$dir" -name '*.pdf' -print0)
echo "$count PDF files checked"
[ "$count" -gt 0 ] || { echo "no PDF files found in $dir"; exit 1; }
exit $failed
