#!/usr/bin/env bash
# Test driver of the core test: runs the test program (natively, or under
# Wine for the Windows build) with a fresh folder in SKAN_PDF_READERS_OUT,
# where it leaves PDFs and the pixels they must show, then has other readers
# check them natively (check_readers.py). Fails when either part fails.
#   run_with_readers.sh <folder> <program> [arguments...]
set -uo pipefail
dir=${1:?folder}
shift
rm -rf "$dir"
mkdir -p "$dir"
SKAN_PDF_READERS_OUT=$dir "$@"
status=$?
echo "== other readers on $dir"
python3 "$(dirname "${BASH_SOURCE[0]}")/check_readers.py" "$dir" || status=1
exit $status
