#!/usr/bin/env bash
# The main job: builds the host and runs one whole scan request the way a web
# application does. The sample page in headless Chromium, through the
# extension, starts the host under Wine (on a virtual display when there is
# none); the virtual scanner delivers the pages; the PDF arrives in the page.
# Prints every step and message; leaves a screenshot of the page.
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
SKAN_EXE="$SKAN_BUILD/win/app/Skanowanie.exe" SKAN_WINPROBE="$SKAN_BUILD/win/tests/winprobe.exe" \
SKAN_EXTENSIONS="$SKAN_BUILD/win/browser/extension" \
python3 browser/tests/main_job.py "$SKAN_BUILD/artifacts/scan-request-page.png"
