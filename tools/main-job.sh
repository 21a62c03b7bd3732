#!/usr/bin/env bash
# The main job: builds the host and runs it under Wine (on a virtual display
# when there is none) with a scripted peer, printing every reply.
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/install-deps.sh
source tools/common.sh
trap skan_cleanup EXIT
skan_build_win
skan_display
python3 tools/peer.py "$SKAN_BUILD/win/app/Skanowanie.exe"
