#!/usr/bin/env bash
# Fresh Debian 12 machine to running client: install packages, build, start kxphone.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh"
exec "${KX_BUILD_DIR:-$root/build}/KxPhone/kxphone"
