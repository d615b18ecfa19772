#!/usr/bin/env bash
# The launcher's main job: installs what is missing, builds, publishes a signed
# demo release, serves it on loopback and runs Tinderhallow.exe under Wine
# (on your display when there is one, otherwise under Xvfb with screenshots).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
build="${BUILD_DIR:-$root/build}"
"$root/cmake/wine-prefix.sh" "$build/wineprefix"
exec python3 "$root/tools/run_demo.py" "$build"
