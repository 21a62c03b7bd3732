#!/usr/bin/env bash
# From the batch's end to "Redy_SCAN" for a whole scan request under Wine,
# with the virtual scanner delivering 300 dpi colour pages unattended, and
# the host's peak resident memory (the Wine process, emulator included).
#   bench/scan/run.sh    PAGES=20 DELAY_MS=2000 RUNS=3
# HOST_EXE=<Skanowanie.exe> measures another build (pdfwriter.dll beside it).
set -euo pipefail
cd "$(dirname "$0")/../.."
source tools/common.sh
trap skan_cleanup EXIT
pages=${PAGES:-20}
delay=${DELAY_MS:-2000}
runs=${RUNS:-3}
[ -n "${HOST_EXE:-}" ] || skan_build_win --target Skanowanie winprobe scanprobe virtual_scanner >/dev/null
skan_display
./tools/install-virtual-scanner.sh --unattended Pages="$pages" PixelType=RGB Resolution=300 \
  PageDelay="$delay" >/dev/null
echo "$pages colour pages at 300 dpi, one every $delay ms, $runs runs"
/usr/bin/python3 bench/scan/scan_latency.py "${HOST_EXE:-$SKAN_BUILD/win/app/Skanowanie.exe}" \
  "$SKAN_BUILD/win/tests/winprobe.exe" tools/press-scan.sh "$runs"
