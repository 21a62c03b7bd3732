#!/usr/bin/env bash
# Formats the project's own C and C++ sources with clang-format and the
# repository's .clang-format. Only files git tracks are touched, so build
# trees and the dependencies built into build/ stay as they are.
#   tools/format.sh            format every source in place
#   tools/format.sh --check    list the files that are not formatted (exit 1)
#   tools/format.sh FILE...    format just these files
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

CLANG_FORMAT=${CLANG_FORMAT:-$(command -v clang-format || command -v clang-format-14 || true)}
if [ -z "$CLANG_FORMAT" ]; then
  echo "clang-format is not installed (tools/install-deps.sh installs it)" >&2
  exit 2
fi

check=0
if [ "${1:-}" = "--check" ]; then
  check=1
  shift
fi

if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(git ls-files -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
fi
[ ${#files[@]} -gt 0 ] || exit 0

if [ $check -eq 1 ]; then
  bad=0
  for f in "${files[@]}"; do
    if ! "$CLANG_FORMAT" --dry-run -Werror "$f" >/dev/null 2>&1; then
      echo "$f"
      bad=1
    fi
  done
  exit $bad
fi
"$CLANG_FORMAT" -i "${files[@]}"
