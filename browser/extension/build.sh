#!/bin/sh
# Lays out the two unpacked builds of the extension: <out>/chromium and
# <out>/firefox, each with the shared files and its own manifest.json.
# Usage: build.sh <out>
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: build.sh <out-folder>}
files="background.js checks.js content.js document.html document.js consent.html consent.js
       options.html options.js extension.css managed_schema.json"
for variant in chromium firefox; do
  mkdir -p "$out/$variant"
  for f in $files; do cp "$here/$f" "$out/$variant/"; done
  cp "$here/manifest.$variant.json" "$out/$variant/manifest.json"
done
