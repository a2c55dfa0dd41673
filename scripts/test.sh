#!/usr/bin/env bash
# Fresh Debian 12 machine to a passed test suite: install packages, build the
# client and its tests, build the fuzz targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer), start the test services, run everything with CTest.
# KX_SANITIZE=1 builds the main tree with the sanitizers as well.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"

build=${KX_BUILD_DIR:-$root/build}
extra=()
[ -n "${KX_SANITIZE:-}" ] && extra+=(-DKX_SANITIZE=ON)
cmake -S "$root" -B "$build" -G Ninja "${extra[@]}"
cmake --build "$build" -j"$(nproc)"

fuzzbuild=${KX_FUZZ_BUILD_DIR:-$root/build-fuzz}
CC=clang CXX=clang++ cmake -S "$root" -B "$fuzzbuild" -G Ninja -DKX_FUZZ=ON -DKX_BUILD_TESTS=OFF -DKX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$fuzzbuild" -j"$(nproc)"

source "$root/scripts/test-services.sh"
[ -n "${KX_XVFB_PID:-}" ] && trap 'kill "$KX_XVFB_PID" 2>/dev/null || true' EXIT

status=0
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" || status=1
# Each fuzz target runs for a set time on one core: side by side they make as many runs each.
ctest --test-dir "$fuzzbuild" --output-on-failure -L fuzz -j"$(nproc)" || status=1
exit $status
