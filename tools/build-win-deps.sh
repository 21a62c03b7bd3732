#!/usr/bin/env bash
# Builds the compression, JPEG and OCR libraries (libdeflate, libjpeg-turbo,
# Leptonica, Tesseract) for the Windows target from Debian's own source
# packages (Debian ships them for Linux only), through a private apt state that
# leaves the system's source lists alone. Static libraries and headers land in
# PREFIX/lib and PREFIX/include.
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
LEPT=leptonlib=1.82.0-3
TESS=tesseract=5.3.0-2
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

# Leptonica without any image file format: pages reach it from memory, so it
# needs no zlib, PNG, TIFF or JPEG (and the result no zlib1.dll).
if [ ! -f "$PREFIX/lib/libleptonica.a" ]; then
  fetch "$LEPT"
  src=$(unpack leptonlib)
  no_find=()
  for p in GIF JPEG PNG TIFF ZLIB PkgConfig; do no_find+=(-DCMAKE_DISABLE_FIND_PACKAGE_$p=ON); done
  cmake -S "$src" -B "$WORK/lept-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$HERE/../cmake/mingw-$ARCH.cmake" -DCMAKE_CROSSCOMPILING_EMULATOR= \
        -DCMAKE_INSTALL_PREFIX="$WORK/lept-install" -DBUILD_SHARED_LIBS=OFF -DSW_BUILD=OFF \
        -DBUILD_PROG=OFF "${no_find[@]}" -DCMAKE_FIND_ROOT_PATH="$WORK/none" -Wno-dev >/dev/null
  cmake --build "$WORK/lept-build" -j "$(nproc)" >/dev/null
  cmake --install "$WORK/lept-build" >/dev/null
  cp "$WORK"/lept-install/lib/libleptonica*.a "$PREFIX/lib/libleptonica.a"
  rm -rf "$PREFIX/include/leptonica"
  cp -r "$WORK/lept-install/include/leptonica" "$PREFIX/include/"
fi

# Tesseract's LSTM engine only (no legacy engine, training tools, archives,
# network or OpenMP, which made it slower). Three fixes for the cross build:
# no -march=native (it would target the build machine's processor), the
# Winsock import library's lower-case name, and the AVX/FMA code assembled
# with unaligned vector moves: 32-bit MinGW does not keep the stack 32-byte
# aligned, so GCC's aligned spills of 256-bit registers could fault (GCC bug
# 49001).
if [ ! -f "$PREFIX/lib/libtesseract.a" ]; then
  fetch "$TESS"
  src=$(unpack tesseract)
  sed -i 's/set(LIB_Ws2_32 Ws2_32)/set(LIB_Ws2_32 ws2_32)/' "$src/CMakeLists.txt"
  cmake -S "$src" -B "$WORK/tess-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$HERE/../cmake/mingw-$ARCH.cmake" -DCMAKE_CROSSCOMPILING_EMULATOR= \
        -DCMAKE_INSTALL_PREFIX="$WORK/tess-install" -DBUILD_SHARED_LIBS=OFF -DSW_BUILD=OFF \
        -DLeptonica_DIR="$WORK/lept-install/lib/cmake/leptonica" -DCMAKE_FIND_ROOT_PATH="$WORK/lept-install" \
        -DBUILD_TRAINING_TOOLS=OFF -DBUILD_TESTS=OFF -DDISABLE_ARCHIVE=ON -DDISABLE_CURL=ON \
        -DGRAPHICS_DISABLED=ON -DOPENMP_BUILD=OFF -DDISABLED_LEGACY_ENGINE=ON -DENABLE_LTO=OFF \
        -DCOMPILER_SUPPORTS_MARCH_NATIVE=OFF -DINSTALL_CONFIGS=OFF \
        -DCMAKE_DISABLE_FIND_PACKAGE_TIFF=ON -DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON \
        -DCMAKE_CXX_FLAGS="-Wa,-muse-unaligned-vector-move" -Wno-dev >/dev/null
  cmake --build "$WORK/tess-build" -j "$(nproc)" --target libtesseract >/dev/null
  cp "$WORK"/tess-build/libtesseract*.a "$PREFIX/lib/libtesseract.a"
  rm -rf "$PREFIX/include/tesseract"
  mkdir -p "$PREFIX/include/tesseract"
  cp "$src"/include/tesseract/*.h "$WORK"/tess-build/include/tesseract/*.h "$PREFIX/include/tesseract/"
fi
