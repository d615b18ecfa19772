#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test under Wine.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
build="${BUILD_DIR:-$root/build}"
"$root/cmake/wine-prefix.sh" "$build/wineprefix"
cd "$build"
ctest --output-on-failure -j "$(nproc)" --timeout 600 "$@"
