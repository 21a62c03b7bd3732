#!/usr/bin/env bash
# Runs one Windows program under Wine in the project's prefix (CTest's emulator).
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
skan_wine_prefix
exec wine "$@"
