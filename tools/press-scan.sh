#!/usr/bin/env bash
# Presses "Scan to PDF" in the running host and answers the "Select source"
# dialog as a user would; with the virtual scanner installed unattended
# (tools/install-virtual-scanner.sh --unattended) the pages then arrive
# without further help. Usage: tools/press-scan.sh [cancel|<row>]
# ("cancel", the default, starts the source manager's default source.)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
probe=$SKAN_BUILD/win/tests/winprobe.exe
scanprobe=$SKAN_BUILD/win/twain/scanprobe.exe
wine "$probe" wait >/dev/null </dev/null
wine "$probe" click "Scan to PDF" </dev/null
wine "$scanprobe" select "${1:-cancel}" </dev/null
