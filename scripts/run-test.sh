#!/usr/bin/env bash
# Runs the tests whose ctest name matches NAME (a regular expression, as
# `ctest -R` takes it), building only what they need first; nothing is
# installed. Usage: run-test.sh NAME [CTEST_ARGS...]
#   scripts/run-test.sh manifest_test          one C++ unit test
#   scripts/run-test.sh update.test_interrupted_apply --repeat until-fail:5
# A C++ test needs its own executable; a Python driver needs the programs it
# starts (the launcher, the toolkit, the stand-ins) and any *_test.exe it names.
set -euo pipefail
[ $# -ge 1 ] || { sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
name="$1"; shift
programs=(Tinderhallow TinderhallowTool TinderhallowGame TinderhallowDemoGame WindowDriver FakeLauncherWindow
          AddRootCertificate)
targets=()
matched=0
cd "$root"
# ctest names: SUBSYSTEM.UNIT for tests/SUBSYSTEM/UNIT.cpp and tests/SUBSYSTEM/test_*.py.
for file in tests/*/*_test.cpp tests/*/test_*.py; do
  unit="$(basename "${file%.*}")"
  subsystem="$(basename "$(dirname "$file")")"
  grep -qE -- "$name" <<<"$subsystem.$unit" || continue
  matched=1
  case "$file" in
    *.cpp) targets+=("$unit") ;;
    *.py)
      # A driver that starts no Windows program (a check of the sources) needs none.
      grep -qE '\.exe|launcher_harness|e2e_common' "$file" && targets+=("${programs[@]}")
      while IFS= read -r exe; do targets+=("$exe"); done < <(grep -oE '\b[a-z_]+_test\.exe' "$file" | sed 's/\.exe$//')
      ;;
  esac
done
grep -qE -- "$name" <<<"tools.check_layers" && matched=1
[ "$matched" -eq 1 ] || { echo "run-test.sh: no test matches '$name'" >&2; exit 1; }
mapfile -t targets < <(printf '%s\n' "${targets[@]}" | sort -u | sed '/^$/d')
if [ ${#targets[@]} -gt 0 ]; then
  "$root/scripts/build.sh" "${targets[@]}"
  "$root/cmake/wine-prefix.sh" "$build/wineprefix"
else
  "$root/scripts/build.sh" help >/dev/null  # configures, so ctest knows every test
fi
cd "$build"
exec ctest -R "$name" --output-on-failure "$@"
