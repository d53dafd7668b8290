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
keep_alive_fifo=
cleanup() {
    stop_servers
    [[ -n "$keep_alive_fifo" ]] && rm -f "$keep_alive_fifo"
    if [[ -n "$xvfb_pid" ]]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
}
trap cleanup EXIT

stop_servers
mkdir -p "$build"
display_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
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
# A prefix's first program starts its system processes (the desktop, services), which inherit that
# program's output and live on: CTest would wait for that test until the very end of the run. When
# a prefix has no program left for a moment, they end, and the next test starts them again. So one
# idle program per prefix, away from CTest's pipes, keeps them alive from here to the end: a command
# prompt reading a FIFO that nobody writes (opened read-write, so the open does not wait).
keep_alive_fifo=$(mktemp -u)
mkfifo "$keep_alive_fifo"
for p in "${prefixes[@]}"; do
    if [[ -d "$p" ]]; then
        WINEPREFIX=$p wine cmd /k <>"$keep_alive_fifo" >/dev/null 2>&1 &
        WINEPREFIX=$p wine cmd /c exit </dev/null >/dev/null 2>&1 || true
    fi
done
cd "$build"
ctest --output-on-failure -j "${TEST_JOBS:-$(nproc)}" --timeout 600 "$@"
