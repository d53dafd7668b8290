#!/usr/bin/env bash
# Installs what is missing, builds, and runs dedup on a folder under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
export WINEPREFIX=$build/wineprefix
bash "$root/scripts/build.sh"
if [[ ! -f "$build/bin/dedup.exe" ]]; then
    echo "run: dedup.exe is not built yet; the libraries and their tests are."
    exit 0
fi
(( $# >= 1 )) || { echo "usage: scripts/run.sh FOLDER [dedup options]" >&2; exit 2; }
folder=$1; shift
folder_win=$(winepath -w "$(realpath -m "$folder")")
cd "$build/bin"
exec "$root/cmake/wine-run" ./dedup.exe "$@" "$folder_win"
