#!/usr/bin/env bash
# Builds Wine's own TWAIN source sane.ds (a bridge to SANE, absent from
# Debian's wine packages) from Debian's wine source package, out of tree, and
# writes SANE configurations that enable only SANE's "test" backend.
#
#   tools/install-sane-ds.sh [OUTDIR]        (default: build/sane-ds)
#
# Result: OUTDIR/winedll (for WINEDLLPATH) and OUTDIR/sane.d (for
# SANE_CONFIG_DIR). A fresh 32-bit prefix keeps its placeholder
# C:\windows\twain_32\sane.ds, so Wine loads the built one from WINEDLLPATH.
# Does nothing when OUTDIR already holds a build from this script and patch.
# The Debian packages come from tools/install-deps.sh.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OUT=$(realpath -m "${1:-${SKAN_BUILD:-$ROOT/build}/sane-ds}")
PATCH=$ROOT/sane_ds/ui-array-options.patch
WINE_VERSION=8.0~repack-4

# The build is reused while this script and the patch are unchanged.
stamp=$(cat "$0" "$PATCH" | sha256sum | cut -d' ' -f1)
if [ -f "$OUT/winedll/i386-windows/sane.ds" ] && [ "$(cat "$OUT/.stamp" 2>/dev/null)" = "$stamp" ]; then
  echo "sane.ds: up to date in $OUT"
  exit 0
fi

for tool in winegcc winebuild wrc i686-w64-mingw32-gcc scanimage patch xz; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run tools/install-deps.sh" >&2; exit 1; }
done
for file in /usr/lib/i386-linux-gnu/libsane.so.1 /usr/include/sane/sane.h \
            /usr/lib/i386-linux-gnu/wine/i386-unix/ntdll.so /etc/sane.d/test.conf; do
  [ -f "$file" ] || { echo "missing $file: run tools/install-deps.sh" >&2; exit 1; }
done

rm -rf "$OUT/obj" "$OUT/winedll" "$OUT/sane.d" "$OUT/src/wine-8.0" "$OUT/.stamp"
mkdir -p "$OUT"/{apt/lists/partial,apt/cache/archives/partial,src,obj,winedll/i386-windows,winedll/i386-unix}

# Debian's wine source through a private apt state: the machine's own source
# lists stay as they are. The deb-src line uses the machine's first Debian URI.
if [ ! -f "$OUT/src/wine_8.0~repack.orig.tar.xz" ]; then
  uri=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  [ -n "$uri" ] || uri=$(awk '/^deb /{print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
  [ -n "$uri" ] || { echo "no Debian source URI in the apt sources" >&2; exit 1; }
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri bookworm main" > "$OUT/apt/sources.list"
  APT=(-o Dir::Etc::SourceList="$OUT/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
       -o Dir::State::Lists="$OUT/apt/lists" -o Dir::Cache="$OUT/apt/cache")
  apt-get "${APT[@]}" -qq update
  (cd "$OUT/src" && apt-get "${APT[@]}" -qq source --download-only "wine=$WINE_VERSION" >/dev/null)
  rm -f "$OUT"/src/wine_*.debian.tar.xz  # Debian's packaging: not needed here
fi
tar -xJf "$OUT/src/wine_8.0~repack.orig.tar.xz" -C "$OUT/src" wine-8.0/dlls/sane.ds wine-8.0/include

SRC=$OUT/src/wine-8.0
DS=$SRC/dlls/sane.ds
patch -s -d "$DS" -p0 ui.c < "$PATCH"
echo '/* no configure run: sane.ds needs none of its settings */' > "$OUT/obj/config.h"
INC=(-I"$OUT/obj" -I"$DS" -I"$SRC/include")

# The Unix half, loaded by ntdll from i386-unix/ beside the PE half.
gcc -m32 -O2 -fPIC -shared -D__WINESRC__ -DWINE_UNIX_LIB -D_REENTRANT "${INC[@]}" \
    -o "$OUT/winedll/i386-unix/sane.so" "$DS/unixlib.c" /usr/lib/i386-linux-gnu/libsane.so.1 \
    /usr/lib/i386-linux-gnu/wine/i386-unix/ntdll.so
# The PE half.
wrc --nostdinc "${INC[@]}" -I"$SRC/include/msvcrt" -D__WINESRC__ -o "$OUT/obj/sane.res" "$DS/sane.rc"
objs=()
for f in capability ds_ctrl ds_image options sane_main ui; do
  i686-w64-mingw32-gcc -c -O2 -D__WINESRC__ -D_WIN32_WINNT=0x0a00 -D_UCRT -nostdinc -fno-builtin -fshort-wchar \
    -Wno-format "${INC[@]}" -I"$SRC/include/msvcrt" -o "$OUT/obj/$f.o" "$DS/$f.c"
  objs+=("$OUT/obj/$f.o")
done
winegcc -b i686-w64-mingw32 -m32 -shared -mno-cygwin -o "$OUT/winedll/i386-windows/sane.ds" \
    "$DS/sane.ds.spec" "${objs[@]}" "$OUT/obj/sane.res" -lcomctl32 -luser32 -lgdi32
winebuild --builtin "$OUT/winedll/i386-windows/sane.ds"

# SANE: only the test backend, an A4 page at 50 dpi. The tests copy this
# folder and change "mode" (Color or Gray) in their copy.
mkdir -p "$OUT/sane.d"
echo test > "$OUT/sane.d/dll.conf"
sed -e 's/^test-picture.*/test-picture "Color pattern"/' -e 's/^mode .*/mode Color/' \
    -e 's/^resolution .*/resolution 50.0/' -e 's/^geometry_max.*/geometry_max 300.0/' \
    -e 's/^br_x.*/br_x 210.0/' -e 's/^br_y.*/br_y 297.0/' /etc/sane.d/test.conf > "$OUT/sane.d/test.conf"
SANE_CONFIG_DIR="$OUT/sane.d" scanimage -L | grep -q "test:0" || { echo "SANE does not list test:0" >&2; exit 1; }
echo "$stamp" > "$OUT/.stamp"
echo "sane.ds: built in $OUT (WINEDLLPATH=$OUT/winedll SANE_CONFIG_DIR=$OUT/sane.d)"
