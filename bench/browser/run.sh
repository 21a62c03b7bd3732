#!/usr/bin/env bash
# Builds the host and the extension and measures the browser path under Wine:
# page-to-host first reply, IFSCANED round trip, and a 50 MB document from
# the host's share port into a public page (see README.md).
# Usage: bench/browser/run.sh [runs] [megabytes]
set -euo pipefail
cd "$(dirname "$0")/../.."
source tools/common.sh
trap skan_cleanup EXIT
skan_build_win --target Skanowanie winprobe browser_extension >/dev/null
skan_display
python3 bench/browser/transfer.py "${1:-5}" "${2:-50}"
