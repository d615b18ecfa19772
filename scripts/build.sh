#!/usr/bin/env bash
# Configures and builds the project into build/ (or $BUILD_DIR), or only the
# TARGETs given: build.sh [TARGET...].
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-posix.cmake" \
      -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" >/dev/null
cmake --build "$build" -j "$(nproc)" ${1:+--target "$@"}
