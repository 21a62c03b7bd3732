#!/usr/bin/env bash
# Builds the host and measures the peer round-trip latency under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh
trap skan_cleanup EXIT
skan_build_win --target Skanowanie echo_host >/dev/null
skan_display
python3 bench/peer_latency.py "$SKAN_BUILD/win/app/Skanowanie.exe" \
  "$SKAN_BUILD/win/tests/echo_host.exe" "${1:-1000}"
