#!/usr/bin/env bash
# Installs the virtual scanner into the Wine prefix in place of the prefix's
# placeholder sane.ds, so Wine's TWAIN_32.DLL lists it first and uses it as
# the default source. Settings go to sane.ini beside it.
#
#   tools/install-virtual-scanner.sh [--unattended] [Key=Value ...]
#
# Keys: Pages, PixelType (RGB|Gray|BW), Resolution, CancelAtPage, FailPage,
# Indeterminate, CloseRequest, ImageFolder (see virtual_scanner/README.md).
# The Windows build (build/win) must exist.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

for arg in "$@"; do
  case "$arg" in
    --unattended|*=*) ;;
    *) echo "unknown argument: $arg" >&2; exit 2 ;;
  esac
done

ds="$SKAN_BUILD/win/virtual_scanner/virtual_scanner.ds"
[ -f "$ds" ] || { echo "missing $ds: build the Windows tree first" >&2; exit 1; }
skan_wine_prefix

dir="$WINEPREFIX/drive_c/windows/twain_32"
mkdir -p "$dir"
# A new file renamed into place: a running program keeps its mapped copy.
cp "$ds" "$dir/sane.ds.new"
mv -f "$dir/sane.ds.new" "$dir/sane.ds"
{
  printf '[Scanner]\r\n'
  for arg in "$@"; do
    case "$arg" in
      --unattended) printf 'Unattended=1\r\n' ;;
      *) printf '%s\r\n' "$arg" ;;
    esac
  done
} > "$dir/sane.ini"
echo "virtual scanner installed: $dir/sane.ds"
