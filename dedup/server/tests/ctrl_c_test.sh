#!/usr/bin/env bash
# dedup.exe --server on two folders, used from other processes through each folder's pipe, then
# ended by Ctrl+C: a SIGINT to the Wine process reaches the console control handler. The server must
# end with exit code 0, and its log must hold the start line, the stop event and one closing line
# per folder. Arguments: the folder of dedup.exe, and the build's cmake folder (wine-run).
set -euo pipefail
bin=$1
run=$2/wine-run
work=$(mktemp -d)
server=
cleanup() {
    if [[ -n "$server" ]]; then
        pkill -KILL -P "$server" 2>/dev/null || true
        kill -KILL "$server" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/One" "$work/Two/Sub"
head -c 300000 /dev/urandom > "$work/One/data.bin"
cp "$work/One/data.bin" "$work/Two/Sub/copy.bin"
echo "a note" > "$work/Two/note.txt"
one=$(WINEDEBUG=-all winepath -w "$work/One")
two=$(WINEDEBUG=-all winepath -w "$work/Two")
log=$(WINEDEBUG=-all winepath -w "$work/server.log")
cd "$bin"

"$run" ./dedup.exe --nologo --server --adopt --optimize-period OFF --gc-period OFF --log-level debug \
    --log-path "$log" "$one" "$two" > "$work/server.out" 2>&1 &
server=$!

# Both folders answer on their pipes.
for folder in "$one" "$two"; do
    for i in $(seq 1 150); do
        if "$run" ./dedup.exe --nologo --info "$folder" > "$work/info.out" 2>&1 &&
           grep -q "Unique block count" "$work/info.out"; then
            break
        fi
        [[ $i == 150 ]] && { echo "the folder $folder never answered"; cat "$work/info.out"; exit 1; }
        sleep 0.2
    done
done

"$run" ./dedup.exe --nologo --optimize "$one" > "$work/optimize.out" 2>&1 || { cat "$work/optimize.out"; exit 1; }
grep -q "Progress stage" "$work/optimize.out" || { echo "no progress lines"; cat "$work/optimize.out"; exit 1; }
"$run" ./dedup.exe --nologo --optimize "$two" > /dev/null 2>&1
"$run" ./dedup.exe --nologo --recover "$two" > "$work/recover.out" 2>&1 || { cat "$work/recover.out"; exit 1; }

# The Wine process is wine-run's child: a background job of a script ignores SIGINT, so wine-run
# cannot take it and pass it on; the signal goes to the program itself.
wine_process=$(pgrep -P "$server" || true)
kill -INT ${wine_process:-$server}
code=0
for i in $(seq 1 150); do
    kill -0 "$server" 2>/dev/null || break
    sleep 0.2
done
if kill -0 "$server" 2>/dev/null; then
    echo "the server did not end after Ctrl+C"
    exit 1
fi
wait "$server" || code=$?
server=
[[ $code == 0 ]] || { echo "the server ended with $code"; cat "$work/server.out"; exit 1; }

text=$(iconv -f UTF-16LE -t UTF-8 "$work/server.log" | tr -d '\r')
grep -q "Server has been started successfully." <<< "$text" || { echo "no start line"; echo "$text"; exit 1; }
grep -q "Stop event received, stopping server..." <<< "$text" || { echo "no stop event"; echo "$text"; exit 1; }
closing=$(grep -c "Server has been stopped successfully." <<< "$text" || true)
[[ $closing == 2 ]] || { echo "$closing closing lines instead of 2"; echo "$text"; exit 1; }
if grep -q "failed with error" <<< "$text"; then
    echo "a failure line"; echo "$text"; exit 1
fi
echo "server ended by Ctrl+C with exit code 0 and both closing lines"
