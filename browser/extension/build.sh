#!/bin/sh
# Lays out the two unpacked builds of the extension: <out>/chromium and
# <out>/firefox, each with the shared scripts and its own manifest.json.
# Usage: build.sh <out>
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: build.sh <out-folder>}
for variant in chromium firefox; do
  mkdir -p "$out/$variant"
  cp "$here/background.js" "$here/content.js" "$here/document.html" "$here/document.js" "$out/$variant/"
  cp "$here/manifest.$variant.json" "$out/$variant/manifest.json"
done
