#!/usr/bin/env bash
# The main job: builds the host and runs one whole scan request under Wine
# (on a virtual display when there is none) with a scripted peer and the
# virtual scanner, printing every message.
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/install-deps.sh
source tools/common.sh
trap skan_cleanup EXIT
skan_build_win
skan_display
# The virtual scanner stands in for a real one: three colour pages, no dialog.
./tools/install-virtual-scanner.sh --unattended Pages=3 PixelType=RGB Resolution=150
mkdir -p "$SKAN_BUILD/artifacts"
SKAN_SCREENSHOT="$SKAN_BUILD/artifacts/scan-request.png" \
python3 tools/peer.py "$SKAN_BUILD/win/app/Skanowanie.exe" "$SKAN_BUILD/win/tests/winprobe.exe" \
  tools/press-scan.sh
