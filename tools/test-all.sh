#!/usr/bin/env bash
# Runs every test: the native build under AddressSanitizer and UBSan, then the
# Windows build under Wine (unit, integration and end-to-end tests), and takes a
# screenshot of the main window (build/artifacts/).
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/install-deps.sh
source tools/common.sh
trap skan_cleanup EXIT

echo "== native build and tests"
skan_build_native
ctest --test-dir "$SKAN_BUILD/native" --output-on-failure -j "$(skan_jobs)"

echo "== Windows build and tests under Wine"
skan_build_win
skan_display
ctest --test-dir "$SKAN_BUILD/win" --output-on-failure

echo "== screenshot"
./tools/screenshot.sh "$SKAN_BUILD/artifacts/main-window.png"
./tools/screenshot-scan.sh "$SKAN_BUILD/artifacts"
