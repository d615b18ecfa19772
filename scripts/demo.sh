#!/usr/bin/env bash
# The launcher's main job until its window exists: installs what is missing,
# builds, makes a small sample release and checks it with the toolkit under
# Wine, the way the launcher reads it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
build="${BUILD_DIR:-$root/build}"

release="$build/demo/release"
rm -rf "$release"
mkdir -p "$release/bin" "$release/data/maps" "$release/data/music"
printf 'Tinderhallow game placeholder\n' > "$release/bin/TinderhallowGame.exe"
seq 1 20000 > "$release/data/maps/harbour.map"
head -c 65537 /dev/zero | tr '\0' x > "$release/data/music/$(printf 'th\xc3\xa9\xc3\xa2tre.ogg')"

# Sizes and digests from the Linux side, so the toolkit is checked against
# independent figures.
entries=""
expected=""
while IFS= read -r file; do
  rel="${file#"$release"/}"
  size=$(stat -c %s "$file")
  digest=$(sha256sum "$file" | cut -d' ' -f1)
  entries+="${entries:+,}
    {\"path\": \"$rel\", \"size\": $size, \"sha256\": \"$digest\"}"
  expected+="$digest $size $rel"$'\n'
done < <(find "$release" -type f ! -name update_manifest.json | LC_ALL=C sort -r)
printf '{\n  "schemaVersion": 1,\n  "minimumLauncherVersion": 1,\n  "releaseId": "demo-1",\n  "files": [%s\n  ]\n}\n' \
  "$entries" > "$release/update_manifest.json"

tool() { "$root/cmake/wine-run.sh" "$build/wineprefix" "$build/TinderhallowTool.exe" "$@"; }
echo "== update_manifest.json (sha256sum on Linux)"
cat "$release/update_manifest.json"
echo "== TinderhallowTool manifest"
listing=$(tool manifest "Z:$release/update_manifest.json")
echo "$listing"
if [ "$(tail -n +4 <<<"$listing")" = "$(LC_ALL=C sort -k3,3 <<<"${expected%$'\n'}")" ]; then
  echo "== the toolkit's listing matches sha256sum and stat, in byte order"
else
  echo "== MISMATCH between the toolkit's listing and sha256sum" >&2
  exit 1
fi
commands=$(tool 2>&1 || true)
if grep -q '^  hash ' <<<"$commands"; then
  echo "== TinderhallowTool hash bin/TinderhallowGame.exe"
  tool hash "Z:$release/bin/TinderhallowGame.exe"
  echo "sha256sum: $(sha256sum "$release/bin/TinderhallowGame.exe" | cut -d' ' -f1)"
fi
