#!/usr/bin/env bash
# Renders the recognition tests' pages: our own texts drawn by text2image at
# 300 dpi on A4 in serif and sans fonts, clean or degraded, then made grey,
# colour or turned with ImageMagick, and written as BMP files beside a copy
# of the text each shows.
#   make_pages.sh OUTDIR
set -euo pipefail
out=$(realpath -m "${1:?OUTDIR}")
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# page <name> <text> <font> <clean|degraded> <ImageMagick options...>
page() {
  local name=$1 text=$2 font=$3 look=$4
  shift 4
  local size=(--xsize=2480 --ysize=3508)
  [ "$text" = short ] && size=(--xsize=1240 --ysize=360 --margin=40)
  text2image --text="$here/$text.txt" --outputbase="$work/$name" --font="$font" \
             --fonts_dir=/usr/share/fonts --fontconfig_tmpdir="$work" --resolution=300 --ptsize=12 \
             --degrade_image=$([ "$look" = degraded ] && echo true || echo false) "${size[@]}" >/dev/null 2>&1
  convert "$work/$name.tif" "$@" "BMP3:$out/$name.bmp"
  cp "$here/$text.txt" "$out/$name.txt"
}

page pl_serif_clean pl "DejaVu Serif" clean -type bilevel
page pl_sans_degraded pl "DejaVu Sans" degraded -type bilevel
page en_serif_degraded_grey en "DejaVu Serif" degraded -blur 0x1 -colorspace Gray -type Palette
page en_sans_clean_colour en "DejaVu Sans" clean +level-colors "#102060,#f4ecd0" -type truecolor
page pl_sans_turned90 pl "DejaVu Sans" clean -rotate 90 -type bilevel
page en_serif_turned180 en "DejaVu Serif" degraded -rotate 180 -type bilevel
page short_sans short "DejaVu Sans" clean -colorspace Gray -type Palette
