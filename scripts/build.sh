#!/usr/bin/env bash
# Configures and builds the project into build/ (or $BUILD_DIR), or only the
# TARGETs given: build.sh [TARGET...]. A compiler warning fails the build
# (WARNINGS_AS_ERRORS=OFF in the environment allows it while you work).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-posix.cmake" \
      -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" \
      -DWARNINGS_AS_ERRORS="${WARNINGS_AS_ERRORS:-ON}" >/dev/null
cmake --build "$build" -j "$(nproc)" ${1:+--target "$@"}
