#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test under Wine.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
# Every include goes down the tiers of scripts/check_layers.py.
python3 "$root/scripts/check_layers.py" "$root"
# Every C++ file is laid out as .clang-format says.
"$root/scripts/check_format.sh"
"$root/scripts/build.sh"
build="${BUILD_DIR:-$root/build}"
"$root/cmake/wine-prefix.sh" "$build/wineprefix"
cd "$build"
# A program under Wine on a busy machine can, rarely, fail once for reasons
# outside the code under test; a failed test runs once more, and a failure
# that repeats fails the run; the first failure stays in the output, and the
# tests that needed the second run are named at the end, so none hides.
log="$build/Testing/test-run.log"
mkdir -p "$build/Testing"
rm -f "$log"
status=0
ctest --output-on-failure -j "$(nproc)" --timeout 600 --repeat until-pass:2 --output-log "$log" "$@" || status=$?
# Result lines read "[i/n ]Test #k: NAME ....   Passed" or "....***Failed" (or
# ***Timeout, ***Exception, ***Not Run); a name with both passed only on its second run.
second=$(awk '
  match($0, /Test +#[0-9]+: [^ ]+ /) {
    name = substr($0, RSTART, RLENGTH); sub(/^Test +#[0-9]+: /, "", name); sub(/ $/, "", name)
    if ($0 ~ /\*\*\*/) failed[name] = 1
    else if ($0 ~ /  Passed  / && (name in failed) && !(name in named)) { named[name] = 1; printf "%s ", name }
  }' "$log" 2>/dev/null || true)
if [ -n "$second" ]; then
  echo
  echo "Passed only on a second run: ${second% }"
fi
exit "$status"
