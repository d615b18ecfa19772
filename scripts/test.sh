#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test under Wine.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
build="${BUILD_DIR:-$root/build}"
"$root/cmake/wine-prefix.sh" "$build/wineprefix"
cd "$build"
# A program under Wine on a busy machine can, rarely, fail once for reasons
# outside the code under test; a failed test runs once more, and a failure
# that repeats fails the run; the first failure stays in the output.
ctest --output-on-failure -j "$(nproc)" --timeout 600 --repeat until-pass:2 "$@"
