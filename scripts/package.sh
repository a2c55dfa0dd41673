#!/usr/bin/env bash
# Builds the Debian package build/kestrovia_<version>_<architecture>.deb: kxphone, kxcall
# and kxdecode, the desktop entry, the icons, the AppStream metadata and the manual pages,
# with the dependencies read from the binaries.
# Install it with: sudo apt install ./build/kestrovia_<version>_amd64.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KX_BUILD_DIR:-$root/build}
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh"
(cd "$build" && cpack -G DEB -B "$build")
ls "$build"/kestrovia_*.deb
