#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when
# any of them is missing. Safe to run again.
set -euo pipefail
packages=(cmake make g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 xvfb
          nlohmann-json3-dev fonts-dejavu-core imagemagick x11-apps nginx googletest
          openssl curl python3 git osslsigncode clang-format squid)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
