#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
export WINEPREFIX=$build/wineprefix
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
bash "$root/scripts/build.sh"
cd "$build"
ctest --output-on-failure -j "$(nproc)" --timeout 600 "$@"
