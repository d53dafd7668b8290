#!/usr/bin/env bash
# Bootstraps the machine, then configures and builds into ${BUILD_DIR:-build}.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
bash "$root/scripts/bootstrap.sh"
export WINEPREFIX=$build/wineprefix
mkdir -p "$build"
# Test discovery runs the test programs at build time: the prefix must be up first.
"$root/cmake/wine-boot" </dev/null >/dev/null 2>&1
if [[ ! -f "$build/build.ninja" ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-toolchain.cmake"
fi
cmake --build "$build" -j "$(nproc)"
