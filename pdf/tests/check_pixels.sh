#!/usr/bin/env bash
# Every <name>.ppm under the given folder holds the colours that the page of
# <name>.pdf beside it must show: the page is rendered by MuPDF at exactly the
# bitmap's size (one output pixel per bitmap pixel) and compared byte for byte.
set -uo pipefail
dir=${1:?folder}
command -v mutool >/dev/null || { echo "missing mutool"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
count=0 failed=0
while IFS= read -r -d '' expected; do
  count=$((count + 1))
  pdf=${expected%.ppm}.pdf
  name=$(basename "${expected%.ppm}")
  read -r w h < <(sed -n 2p "$expected")
  if ! mutool draw -q -c rgb -w "$w" -h "$h" -f -o "$tmp/$name.ppm" "$pdf" 2>"$tmp/err"; then
    echo "mutool draw failed: $pdf"; cat "$tmp/err"; failed=1; continue
  fi
  if ! cmp -s "$expected" "$tmp/$name.ppm"; then
    differing=$(cmp -l "$expected" "$tmp/$name.ppm" 2>/dev/null | wc -l)
    echo "pixels differ: $name ($differing bytes of $(stat -c %s "$expected"))"; failed=1
  fi
done < <(find "$dir" -name '*.ppm' -print0)
echo "$count pages compared"
[ "$count" -gt 0 ] || { echo "no expected pages found in $dir"; exit 1; }
exit $failed
