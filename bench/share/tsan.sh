#!/usr/bin/env bash
# Builds the share server's tests with ThreadSanitizer (native, clang) and
# runs them, then puts the shared file under parallel load from curl while
# the file name changes, and stops the server with clients connected.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build/tsan
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKAN_SANITIZE=OFF \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_CXX_FLAGS="-fsanitize=thread -g" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build "$build" -j2 --target share_tests share_serve share_stress
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
"$build/share/tests/share_tests"
"$build/bench/share/share_stress" --clients 32 --requests 2000 --idle 50
echo "ThreadSanitizer: no report"
