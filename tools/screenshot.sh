#!/usr/bin/env bash
# Takes a screenshot of the host's main window under Xvfb (an artifact for
# people to look at; not committed). Usage: tools/screenshot.sh [out.png]
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh
out=${1:-$SKAN_BUILD/artifacts/main-window.png}
mkdir -p "$(dirname "$out")"
if [ -z "${DISPLAY:-}" ]; then trap skan_cleanup EXIT; skan_display; fi
skan_wine_prefix

exe=$SKAN_BUILD/win/app/Skanowanie.exe
probe=$SKAN_BUILD/win/tests/winprobe.exe
# The host reads its standard input from a pipe that stays open until the end.
coproc HOST { exec wine "$exe" >/dev/null 2>&1; }
wine "$probe" wait >/dev/null
sleep 1  # let the buttons finish painting
import -window root "$out"
wine "$probe" close >/dev/null || true
wait "$HOST_PID" || true
echo "screenshot: $out"
