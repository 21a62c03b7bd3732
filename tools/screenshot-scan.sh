#!/usr/bin/env bash
# Screenshots of a scan start under Xvfb: the "Select source" dialog over the
# main window, then the virtual scanner's own dialog (artifacts for people to
# look at; not committed). Installs the virtual scanner with its dialog.
# Usage: tools/screenshot-scan.sh [out-folder]
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh
out=${1:-$SKAN_BUILD/artifacts}
mkdir -p "$out"
if [ -z "${DISPLAY:-}" ]; then trap skan_cleanup EXIT; skan_display; fi
skan_wine_prefix
tools/install-virtual-scanner.sh Pages=3 Resolution=150 >/dev/null

exe=$SKAN_BUILD/win/app/Skanowanie.exe
probe=$SKAN_BUILD/win/tests/winprobe.exe
scanprobe=$SKAN_BUILD/win/twain/scanprobe.exe
# The host reads its standard input from a pipe that stays open until the end.
coproc HOST { exec wine "$exe" >/dev/null 2>&1; }
wine "$probe" wait >/dev/null
sleep 1  # let the buttons finish painting
wine "$probe" click "Scan to PDF" >/dev/null
sleep 2
import -window root "$out/select-source.png"
wine "$scanprobe" select 0 >/dev/null   # the virtual scanner, which shows its dialog
sleep 2
import -window root "$out/scanner-dialog.png"
wine "$scanprobe" scanner cancel >/dev/null || true
sleep 1
wine "$probe" close >/dev/null || true
wait "$HOST_PID" || true
echo "screenshots: $out/select-source.png $out/scanner-dialog.png"
