# Sourced by the benchmark scripts after tools/common.sh. ARCH picks the
# build they measure:
#   i686    the product (build/win, 32-bit prefix build/wineprefix); where the
#           kernel cannot run 32-bit code, Wine runs it through qemu.
#   x86_64  the same code built for 64-bit Windows (build/win64, its libraries
#           in build/deps-x86_64) and run by wine64 in build/wineprefix64:
#           native speed on such a machine, a proxy for the product on a
#           real 32-bit-capable one. Only the benchmark programs are built.
# Defines SKAN_BENCH_TREE (the build tree) and skan_bench_build <cmake args>.
SKAN_BENCH_ARCH=${ARCH:-i686}
case $SKAN_BENCH_ARCH in
  i686)
    SKAN_BENCH_TREE=$SKAN_BUILD/win
    skan_bench_build() { skan_build_win "$@"; }
    ;;
  x86_64)
    SKAN_BENCH_TREE=$SKAN_BUILD/win64
    export WINEPREFIX=$SKAN_BUILD/wineprefix64 WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64
    # Wine's launcher scripts pick the 32-bit loader whenever it is installed.
    mkdir -p "$SKAN_BUILD/wine64-bin"
    ln -sfn /usr/lib/wine/wine64 "$SKAN_BUILD/wine64-bin/wine"
    case ":$PATH:" in *":$SKAN_BUILD/wine64-bin:"*) ;; *) export PATH=$SKAN_BUILD/wine64-bin:$PATH ;; esac
    winepath() { wine winepath.exe "$@"; }
    wineboot() { wine wineboot.exe "$@"; }
    skan_bench_build() {
      cmake -S "$SKAN_ROOT" -B "$SKAN_BENCH_TREE" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_TOOLCHAIN_FILE="$SKAN_ROOT/cmake/mingw-x86_64.cmake" "${SKAN_CMAKE_EXTRA[@]}" >/dev/null
      cmake --build "$SKAN_BENCH_TREE" -j "$(skan_jobs)" "$@"
    }
    ;;
  *) echo "ARCH must be i686 or x86_64" >&2; exit 2 ;;
esac
