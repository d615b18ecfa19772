#!/usr/bin/env bash
# Checks that every C++ file of the project is laid out as the committed
# .clang-format says; names each misformatted line and fails. Fix with
# `clang-format -i FILE`. Usage: check_format.sh [FILE...] (default: all)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
if [ $# -gt 0 ]; then
  files=("$@")
elif git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # Tracked and new files alike, without what .gitignore leaves out (build/).
  mapfile -t files < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h' | sort -u)
else
  mapfile -t files < <(find base update delivery account startup ui tools bench tests \
                         -name '*.cpp' -o -name '*.h' | sort)
fi
existing=()
for f in "${files[@]}"; do [ -f "$f" ] && existing+=("$f"); done
[ ${#existing[@]} -eq 0 ] && exit 0
# clang-format reports "FILE:LINE:COL: error: code should be clang-formatted"
# followed by the line and a caret; one "FILE:LINE" is kept per line.
status=0
output=$(clang-format --style=file --dry-run --Werror "${existing[@]}" 2>&1 >/dev/null) || status=$?
[ "$status" -eq 0 ] && exit 0
report=$(printf '%s\n' "$output" | grep -E '^[^ ].*:[0-9]+:[0-9]+: error: ' |
         sed -E 's/:[0-9]+: error: .*$//' | sort -u -t: -k1,1 -k2,2n || true)
if [ -z "$report" ]; then
  printf 'check_format.sh: clang-format failed (exit %s):\n%s\n' "$status" "$output" >&2
  exit 1
fi
while IFS= read -r place; do echo "$place: not laid out as .clang-format says" >&2; done <<<"$report"
echo "Fix with: clang-format -i $(cut -d: -f1 <<<"$report" | sort -u | tr '\n' ' ')" >&2
exit 1
