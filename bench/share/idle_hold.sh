#!/usr/bin/env bash
# Idle connections against the share server: holds N clients (default 5000)
# that connect and send nothing, then times whole GETs of the served file
# beside them (median of 9, against the same GET with no idle client, in the
# same run) and the stop that ends them all. Natively (release build), then
# natively in the address space of a 32-bit process, and, when the Windows
# tree is built, the 32-bit build under Wine. Each run fails
# when a client is not accepted, a GET is not whole or takes over 1 s, or a
# thread or handle outlives the stop.
# Wine gives every thread a stack of at least 1 MiB whatever the program
# asks, so a 32-bit process under Wine runs out of address space near 1,900
# connection threads; WINE_IDLE sets the count for the Wine runs (default:
# idle) and NO_WINE=1 leaves them out.
#   bench/share/idle_hold.sh [idle] [runs]
set -euo pipefail
cd "$(dirname "$0")/../.."
source tools/common.sh
idle=${1:-5000}
runs=${2:-3}
# Each idle client costs two descriptors here (its socket and the server's).
ulimit -n "$(ulimit -Hn)"
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DSKAN_SANITIZE=OFF >/dev/null
cmake --build build/bench -j2 --target share_stress >/dev/null
for i in $(seq "$runs"); do
  echo "== native, run $i"
  build/bench/bench/share/share_stress --clients 1 --requests 0 --idle "$idle"
done
# The same natively, inside the 2 GiB address space of a 32-bit process that
# is not large-address-aware, with MinGW's default thread stack of 2 MiB and
# one shared heap as on Windows (glibc's per-thread heaps reserve 64 MiB each).
for i in $(seq "$runs"); do
  echo "== native in 2 GiB of address space, run $i"
  (ulimit -v $((2 * 1024 * 1024)); ulimit -s 2048
   MALLOC_ARENA_MAX=2 build/bench/bench/share/share_stress --clients 1 --requests 0 --idle "$idle")
done
if [ -d "$SKAN_BUILD/win" ] && [ -z "${NO_WINE:-}" ]; then
  cmake --build "$SKAN_BUILD/win" -j2 --target share_stress >/dev/null
  for i in $(seq "$runs"); do
    echo "== Windows build under Wine, run $i"
    tools/wine-run.sh "$SKAN_BUILD/win/bench/share/share_stress.exe" --clients 1 --requests 0 --idle "${WINE_IDLE:-$idle}"
  done
fi
