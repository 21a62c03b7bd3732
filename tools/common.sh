# Sourced by the main job and the test script: build trees and a virtual display.
SKAN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SKAN_BUILD=${SKAN_BUILD:-$SKAN_ROOT/build}
source "$SKAN_ROOT/tools/wine-env.sh"

skan_jobs() { nproc 2>/dev/null || echo 2; }

# ccache, when installed, shares compiled objects between build trees and clones.
SKAN_CMAKE_EXTRA=()
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$SKAN_ROOT}
  SKAN_CMAKE_EXTRA=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

# Configures and builds the Windows tree (build/win) and the native tree (build/native).
skan_build_win() {
  cmake -S "$SKAN_ROOT" -B "$SKAN_BUILD/win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$SKAN_ROOT/cmake/mingw-i686.cmake" "${SKAN_CMAKE_EXTRA[@]}" >/dev/null
  cmake --build "$SKAN_BUILD/win" -j "$(skan_jobs)" "$@"
}
skan_build_native() {
  cmake -S "$SKAN_ROOT" -B "$SKAN_BUILD/native" -G Ninja -DCMAKE_BUILD_TYPE=Debug "${SKAN_CMAKE_EXTRA[@]}" >/dev/null
  cmake --build "$SKAN_BUILD/native" -j "$(skan_jobs)" "$@"
}

# Starts Xvfb on a free display when there is no display, and a persistent
# wineserver; both are ended by skan_cleanup (call it from an EXIT trap).
SKAN_XVFB_PID=
skan_display() {
  if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
    local n=90
    while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
    SKAN_XVFB_PID=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  fi
  skan_wine_prefix
  skan_wineserver_start
}
skan_cleanup() {
  skan_wineserver_stop
  if [ -n "$SKAN_XVFB_PID" ]; then kill "$SKAN_XVFB_PID" 2>/dev/null || true; fi
}
