#!/usr/bin/env bash
# Runs a Windows program under Wine in the build directory's own prefix,
# creating the prefix on first use. Usage: wine-run.sh PREFIX PROGRAM [ARGS...]
set -euo pipefail
prefix="$1"; shift
export WINEPREFIX="$prefix" WINEDEBUG=-all
"$(dirname "$0")/wine-prefix.sh" "$prefix"
exec wine "$@"
