#!/usr/bin/env bash
# Runs a Windows program under Wine in the build directory's own prefix,
# creating the prefix on first use. Usage: wine-run.sh PREFIX PROGRAM [ARGS...]
set -euo pipefail
# Wine takes only an absolute WINEPREFIX, while the docs write build/wineprefix.
prefix="$(realpath -m -- "$1")"; shift
export WINEPREFIX="$prefix" WINEDEBUG=-all
"$(dirname "$0")/wine-prefix.sh" "$prefix"
exec wine "$@"
