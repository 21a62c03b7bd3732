#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian machine.
# Safe to run again: packages already present are skipped.
set -euo pipefail

packages=(
  cmake ninja-build g++ python3
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
  libz-mingw-w64-dev libjpeg-dev libdeflate-dev nasm patch
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  wine wine32 xvfb xauth xdotool x11-apps imagemagick netpbm
  zlib1g-dev qpdf poppler-utils mupdf-tools img2pdf hyperfine
  curl chromium iproute2
)

sudo_() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  sudo_ dpkg --add-architecture i386
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  name=$p
  [ "$p" = wine32 ] && name=wine32:i386
  dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  # Another install on the same machine may hold the package lock: wait for it.
  lock=(-o DPkg::Lock::Timeout=900)
  sudo_ apt-get "${lock[@]}" update -qq
  sudo_ apt-get "${lock[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
