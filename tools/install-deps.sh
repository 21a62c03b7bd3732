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
  curl chromium firefox-esr nodejs iproute2 locales nsis
  # PDF/A-1b validation (pdfwriter/tests/preflight.sh) and the sRGB profile the library embeds
  default-jre-headless libpdfbox2-java libactivation-java libjaxb-api-java icc-profiles-free
  # tools/format.sh
  clang-format
  # the compact form's benchmark (bench/pdf/compact.sh)
  tesseract-ocr tesseract-ocr-pol tesseract-ocr-eng python3-numpy python3-pil mate-backgrounds
  # Wine's own TWAIN source over SANE's test backend (tools/install-sane-ds.sh)
  libsane1:i386 libsane-dev:i386 sane-utils gcc-multilib libwine-dev:i386 wine64-tools xz-utils patch
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

# Locales with a decimal comma, for the test that PDF numbers ignore the locale.
for l in de_DE pl_PL; do
  if ! locale -a 2>/dev/null | grep -qx "$l.utf8"; then
    if grep -q "^# *$l.UTF-8 UTF-8" /etc/locale.gen; then
      sudo_ sed -i "s/^# *\($l.UTF-8 UTF-8\)/\1/" /etc/locale.gen
    elif ! grep -q "^$l.UTF-8 UTF-8" /etc/locale.gen; then
      echo "$l.UTF-8 UTF-8" | sudo_ tee -a /etc/locale.gen >/dev/null
    fi
    need_locale_gen=1
  fi
done
if [ -n "${need_locale_gen:-}" ]; then sudo_ locale-gen >/dev/null; fi

# Wine's 32-bit loader needs a kernel that runs i386 programs; some do not.
"$(dirname "$0")/setup-i386.sh"
