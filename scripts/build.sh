#!/usr/bin/env bash
# Configures and builds Kestrovia into build/ (or $KX_BUILD_DIR).
# Extra arguments go to the CMake configure step, e.g. -DKX_SANITIZE=ON.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KX_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja "$@"
cmake --build "$build" -j"$(nproc)"
