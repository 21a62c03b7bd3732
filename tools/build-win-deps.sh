#!/usr/bin/env bash
# Builds the compression and JPEG libraries for the Windows target from
# Debian's own source packages (Debian ships them for Linux only), through a
# private apt state that leaves the system's source lists alone. Static
# libraries and headers land in PREFIX/lib and PREFIX/include.
#   build-win-deps.sh PREFIX [ARCH]
# ARCH is i686 (the product, default) or x86_64 (the benchmarks' native-speed
# build, see bench/README.md). Run by the Windows build's configure step when
# PREFIX lacks them.
set -euo pipefail
PREFIX=$(realpath -m "${1:?PREFIX}")
HERE=$(cd "$(dirname "$0")" && pwd)
WORK=$PREFIX/.work
DEFLATE=libdeflate=1.14-1
TURBO=libjpeg-turbo=2.1.5-2
ARCH=${2:-i686}
case $ARCH in i686 | x86_64) ;; *) echo "unknown ARCH $ARCH" >&2; exit 2 ;; esac
HOST=$ARCH-w64-mingw32
mkdir -p "$WORK"/{apt/lists/partial,apt/cache/archives/partial,src} "$PREFIX"/{lib,include}

fetch() {  # fetch <source package=version>: the Debian source files into $WORK/src
  local name=${1%%=*}
  ls "$WORK/src/${name}_"*.orig.tar.* >/dev/null 2>&1 && return 0
  local uri
  uri=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  [ -n "$uri" ] || uri=$(awk '/^deb /{print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
  local suite
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $suite main" >"$WORK/apt/sources.list"
  local apt=(-o Dir::Etc::SourceList="$WORK/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
             -o Dir::State::Lists="$WORK/apt/lists" -o Dir::Cache="$WORK/apt/cache")
  [ -n "$(ls "$WORK/apt/lists" 2>/dev/null | grep -v partial)" ] || apt-get "${apt[@]}" update >/dev/null
  (cd "$WORK/src" && apt-get "${apt[@]}" source --download-only "$1" >/dev/null 2>&1) ||
    (cd "$WORK/src" && apt-get "${apt[@]}" source --download-only "$name" >/dev/null)
}

unpack() {  # unpack <name>: the upstream tree with Debian's patches applied, echoes its path
  local name=$1 dir=$WORK/src/$1
  if [ ! -d "$dir" ]; then
    mkdir -p "$dir"
    tar -xf "$(ls "$WORK/src/${name}_"*.orig.tar.* | head -1)" -C "$dir" --strip-components=1
    tar -xf "$(ls "$WORK/src/${name}_"*.debian.tar.* | head -1)" -C "$dir"
    if [ -f "$dir/debian/patches/series" ]; then
      grep -v '^\s*#' "$dir/debian/patches/series" | while read -r p _; do
        [ -n "$p" ] && patch -d "$dir" -p1 -s <"$dir/debian/patches/$p"
      done
    fi
  fi
  echo "$dir"
}

if [ ! -f "$PREFIX/lib/libdeflate.a" ]; then
  fetch "$DEFLATE"
  src=$(unpack libdeflate)
  make -C "$src" -j"$(nproc)" libdeflatestatic.lib CC="$HOST-gcc-posix" AR="$HOST-ar" CFLAGS="-O2" >/dev/null
  cp "$src/libdeflate.h" "$PREFIX/include/"
  cp "$src/libdeflatestatic.lib" "$PREFIX/lib/libdeflate.a"
fi

if [ ! -f "$PREFIX/lib/libjpeg.a" ]; then
  fetch "$TURBO"
  src=$(unpack libjpeg-turbo)
  simd=0
  command -v nasm >/dev/null && simd=1
  cmake -S "$src" -B "$WORK/turbo-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$HERE/../cmake/mingw-$ARCH.cmake" -DCMAKE_CROSSCOMPILING_EMULATOR= \
        -DCMAKE_INSTALL_PREFIX="$PREFIX" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF \
        -DWITH_SIMD=$simd -DWITH_JPEG8=OFF -DCMAKE_SYSTEM_PROCESSOR=$ARCH -Wno-dev >/dev/null
  cmake --build "$WORK/turbo-build" -j "$(nproc)" --target jpeg-static >/dev/null
  cp "$WORK/turbo-build/libjpeg.a" "$PREFIX/lib/libjpeg.a"
  cp "$src"/{jpeglib.h,jmorecfg.h,jerror.h} "$WORK/turbo-build/jconfig.h" "$PREFIX/include/"
fi
