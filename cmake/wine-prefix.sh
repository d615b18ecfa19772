#!/usr/bin/env bash
# Creates a Wine prefix once (guarded by a lock, so parallel tests wait for
# it) and maps the missing "Georgia" family to DejaVu Serif there.
# Usage: wine-prefix.sh PREFIX [--no-font-replacement]
set -euo pipefail
# Wine takes only an absolute WINEPREFIX; a relative one made nothing.
prefix="$(realpath -m -- "$1")"
mkdir -p "$(dirname "$prefix")"
stamp="$prefix/.tinderhallow-ready"
[ -f "$stamp" ] && exit 0
exec 9>"$prefix.lock"
flock 9
[ -f "$stamp" ] && exit 0
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i >/dev/null 2>&1 || true
if [ "${2:-}" != "--no-font-replacement" ]; then
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v Georgia /t REG_SZ /d 'DejaVu Serif' /f >/dev/null 2>&1
fi
wineserver -w
[ -f "$prefix/system.reg" ] || { echo "wine-prefix.sh: Wine made no prefix in $prefix" >&2; exit 1; }
touch "$stamp"
