#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through Wine.
#
# Window tests need a display: a private Xvfb on a free display number, exported before the build
# boots the prefixes (a prefix whose server started without a display cannot make windows, error
# 1400). The prefixes' servers are ended before (one may have been started without the display)
# and after the run, and Xvfb is stopped by its pid.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
export WINEPREFIX=$build/wineprefix
prefixes=("$build/wineprefix" "$build/wineprefix-144dpi")

stop_servers() {
    for p in "${prefixes[@]}"; do
        if [[ -d "$p" ]]; then
            WINEPREFIX=$p wineserver -k >/dev/null 2>&1 || true
            WINEPREFIX=$p wineserver -w >/dev/null 2>&1 || true
        fi
    done
}

xvfb_pid=
cleanup() {
    stop_servers
    if [[ -n "$xvfb_pid" ]]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
}
trap cleanup EXIT

stop_servers
mkdir -p "$build"
display_file=$(mktemp)
# Without MIT-SHM: Mesa's software renderer attaches shared memory behind an XSync and a swapped
# error handler, and a Direct2D present doing so on Wine's render thread while the UI thread maps a
# window deadlocked both inside libX11 (about one run in 25 of the installer's warning-dialog test
# under load; none in 108 runs without the extension). Wine and Mesa fall back to XPutImage.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -extension MIT-SHM 3>"$display_file" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
    [[ -s "$display_file" ]] && break
    sleep 0.1
done
if [[ ! -s "$display_file" ]]; then
    echo "test.sh: Xvfb did not start" >&2
    exit 1
fi
export DISPLAY=:$(head -n1 "$display_file")
rm -f "$display_file"

bash "$root/scripts/build.sh"
# The first program of a prefix that makes a window starts the prefix's desktop process, which
# inherits that program's output and lives on: CTest would wait for that test until the very end
# of the run. The desktop is started here instead, away from CTest's pipes.
for p in "${prefixes[@]}"; do
    if [[ -d "$p" ]]; then
        WINEPREFIX=$p wine cmd /c exit </dev/null >/dev/null 2>&1 || true
    fi
done
cd "$build"
ctest --output-on-failure -j "${TEST_JOBS:-$(nproc)}" --timeout 600 "$@"
