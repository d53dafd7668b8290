#!/usr/bin/env bash
# Makes the 7z archives of the extraction tests with Debian's 7zz: a good one (solid, BCJ2 and
# LZMA2, nested names without folder entries, a read-only and an empty file), the same behind 1 MiB
# of other data, damaged ones and hostile ones. Usage: make_test_archives.sh <output folder>
set -euo pipefail
out=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out" "$work/good/Components/c1/x64" "$work/h"
cd "$work/good"
printf 'top file\r\n' > top.txt
head -c 300000 /dev/urandom > Components/c1/a.dll
printf 'sixty-four' > Components/c1/x64/b.dll
: > empty.txt
printf 'read only' > ro.txt
chmod 444 ro.txt
z() { 7zz a -bso0 -bsp0 -bse0 "$@"; }
rm -f "$out"/*.7z
# File paths only: the archive holds no entries for the folders.
z -t7z -m0=BCJ2 -m1=LZMA2:d=1m -m2=LZMA:d=1m -m3=LZMA:d=1m -mb0s0:1 -mb0s1:2 -mb0s2:3 "$out/good.7z" \
    top.txt Components/c1/a.dll Components/c1/x64/b.dll empty.txt ro.txt
{ head -c 1048576 /dev/zero; cat "$out/good.7z"; } > "$out/prefixed.7z"
# LZMA2 alone, one block for all files and one block per file; and one with a damaged byte of data.
z -t7z -m0=LZMA2:d=1m -ms=on "$out/lzma2.7z" top.txt Components/c1/a.dll Components/c1/x64/b.dll empty.txt ro.txt
z -t7z -m0=LZMA2:d=1m -ms=off "$out/lzma2_files.7z" top.txt Components/c1/a.dll Components/c1/x64/b.dll empty.txt ro.txt
cp "$out/lzma2.7z" "$out/lzma2_damaged.7z"
printf '\x41' | dd of="$out/lzma2_damaged.7z" bs=1 seek=5000 conv=notrunc status=none
size=$(stat -c %s "$out/good.7z")
head -c $((size - 64)) "$out/good.7z" > "$out/truncated.7z"
# Stored data: a flipped byte in a file's bytes is caught by its checksum.
z -t7z -mx0 "$out/badcrc.7z" top.txt
printf '\x41' | dd of="$out/badcrc.7z" bs=1 seek=34 conv=notrunc status=none
printf 'this is not an archive\r\n' > "$out/notarchive.7z"
# Hostile names and links.
cd "$work/h"
printf 'evil' > evil.txt
printf 'x' > 'a\b'; z "$out/backslash.7z" 'a\b'
printf 'x' > 'c:d'; z "$out/colon.7z" 'c:d'
printf 'x' > NUL; z "$out/device_nul.7z" NUL
printf 'x' > aux.txt; z "$out/device_aux.7z" aux.txt
ln -s /etc/passwd link; z -snl "$out/link.7z" link
mkdir -p sub && cd sub && z -spf "$out/dotdot.7z" ../evil.txt && cd ..
z -spf "$out/absolute.7z" "$work/h/evil.txt"
long=$(printf 'd%.0s' {1..200})/$(printf 'e%.0s' {1..70})
mkdir -p "$(dirname "$long")" && printf 'x' > "$long" && z "$out/long.7z" "$long"
# A good entry first: nothing of it may be written when a later entry is refused.
printf 'ok' > ok.txt; z "$out/mixed.7z" ok.txt && z -spf "$out/mixed.7z" "$work/h/evil.txt"
