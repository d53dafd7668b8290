#!/usr/bin/env bash
# Makes the end-to-end tests' package pieces with Debian's 7zz: the icon, the built installer as
# setup.exe, and the archives of two versions of a small product (holding the install-time export's
# stand-in and its registry script) and a hostile one. Given a file count, also many.7z: a product
# whose core component holds that many small files (Components/core/f1.txt and on).
# Usage: make_test_package.sh <output folder> <tolvane.exe> <stub dll> [<file count>]
set -euo pipefail
out=$1 installer=$2 stub=$3 count=${4:-0}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
cp "$installer" "$out/setup.exe"
# A 1x1 PNG.
echo 'iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8BQDwAEhQGAhKmMIQAAAABJRU5ErkJggg==' \
    | base64 -d > "$out/icon.png"
z() { 7zz a -bso0 -bsp0 -bse0 "$@"; }
for v in 1 2; do
    d=$work/v$v
    mkdir -p "$d/Components/core" "$d/Components/shell" "$d/Components/docs"
    printf 'application version %s\r\n' "$v" > "$d/Components/core/app.txt"
    head -c 65536 /dev/zero | tr '\0' "$v" > "$d/Components/core/data.bin"
    printf 'manual\r\n' > "$d/Components/docs/manual.txt"
    cp "$stub" "$d/Components/shell/tolvane_stub_self_install.dll"
    printf 'HKCU\r\n{\r\n\tNoRemove Software\r\n\t{\r\n\t\tNoRemove Classes\r\n\t\t{\r\n\t\t\tNoRemove CLSID\r\n\t\t\t{\r\n\t\t\t\tForceRemove %%APPID%% = s '"'"'Tolvane test class'"'"'\r\n\t\t\t\t{\r\n\t\t\t\t\tInprocServer32 = s '"'"'%%MODULE%%'"'"'\r\n\t\t\t\t\t{\r\n\t\t\t\t\t\tval ThreadingModel = s '"'"'Both'"'"'\r\n\t\t\t\t\t}\r\n\t\t\t\t}\r\n\t\t\t}\r\n\t\t}\r\n\t}\r\n}\r\n' \
        > "$d/Components/shell/tolvane_stub_self_install.dll.rgs"
    rm -f "$out/v$v.7z"
    (cd "$d" && z "$out/v$v.7z" Components)
done
mkdir -p "$work/h/sub"
printf 'evil' > "$work/h/evil.txt"
rm -f "$out/hostile.7z"
(cd "$work/h/sub" && z -spf "$out/hostile.7z" ../evil.txt)
if (( count > 0 )); then
    d=$work/many
    mkdir -p "$d/Components/core"
    for ((i = 1; i <= count; i++)); do
        printf 'file %d\r\n' "$i" > "$d/Components/core/f$i.txt"
    done
    rm -f "$out/many.7z"
    (cd "$d" && z "$out/many.7z" Components)
fi
