#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to cross-build the product for 64-bit Windows and
# run it under Wine, and builds the two C dependencies Debian has no Windows build of (LZ4 and the
# LZMA SDK's 7z reader) as static libraries. Everything it builds lives in DEDUP_DEPS, outside the
# source tree; a second run finds it all in place and does nothing.
set -euo pipefail

DEDUP_DEPS=${DEDUP_DEPS:-/var/cache/dedup-deps}
stamp_version=1

packages=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 xvfb cmake ninja-build
          libboost1.81-dev libeigen3-dev libxxhash-dev googletest dpkg-dev
          # Test archives of the installer are made with 7zz.
          7zip
          # Wine only recommends these; windows need the fonts, Direct2D the Mesa drivers.
          fonts-wine libgl1-mesa-dri)

# Two builds may start at once (two clones, or CI beside a developer's build): one installs and
# builds while the other waits, then finds everything in place.
mkdir -p "$(dirname "$DEDUP_DEPS")"
exec 8>"$DEDUP_DEPS.lock"
flock 8

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "bootstrap: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q "${missing[@]}"
fi

stamped() { [[ -f "$DEDUP_DEPS/.stamp" && "$(cat "$DEDUP_DEPS/.stamp")" == "$stamp_version" ]]; }
stamped && exit 0

# The build goes into a folder of its own, moved into place whole: a build that dies leaves no
# half-made dependency folder behind.
echo "bootstrap: building dependencies in $DEDUP_DEPS"
work=$(mktemp -d "$DEDUP_DEPS.build.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work"/{src,lib,include/7z}
cd "$work/src"

# Source lines for the main and the security archive, so that the 7zip source matches the
# installed 7zip binary that makes the test archives.
if [[ ! -f /etc/apt/sources.list.d/deb-src.sources && ! -f /etc/apt/sources.list.d/deb-src.list ]]; then
    if [[ -f /etc/apt/sources.list.d/debian.sources ]]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
            > /etc/apt/sources.list.d/deb-src.sources
    elif [[ -f /etc/apt/sources.list ]]; then
        sed -n 's/^deb \(.*\)$/deb-src \1/p' /etc/apt/sources.list > /etc/apt/sources.list.d/deb-src.list
    fi
    apt-get update -q
fi
apt-get source -q --download-only lz4 7zip >/dev/null 2>&1 || { apt-get update -q; apt-get source -q --download-only lz4 7zip; }
for dsc in lz4_*.dsc 7zip_*.dsc; do
    dpkg-source --no-check -x "$dsc" >/dev/null
done

cc=x86_64-w64-mingw32-gcc-posix
ar=x86_64-w64-mingw32-ar

lz4dir=$(find . -maxdepth 1 -type d -name 'lz4-*' | head -n1)
mkdir -p obj/lz4
for f in lz4 lz4hc; do
    $cc -O2 -c "$lz4dir/lib/$f.c" -o "obj/lz4/$f.o"
done
$ar rcs "$work/lib/liblz4.a" obj/lz4/*.o
cp "$lz4dir/lib/lz4.h" "$lz4dir/lib/lz4hc.h" "$work/include/"

zdir=$(find . -maxdepth 1 -type d -name '7zip-*' | head -n1)
mkdir -p obj/7z
for f in 7zAlloc 7zArcIn 7zBuf 7zBuf2 7zCrc 7zCrcOpt 7zDec 7zFile 7zStream Bcj2 Bra Bra86 BraIA64 \
         CpuArch Delta Lzma2Dec LzmaDec Ppmd7 Ppmd7Dec; do
    # The LZMA decoder is the installer's extraction speed: built with -O3 (its assembly variant
    # needs an assembler the machine does not have).
    opt=-O2
    case $f in LzmaDec | Lzma2Dec) opt=-O3 ;; esac
    $cc $opt -DZ7_PPMD_SUPPORT -DZ7_EXTRACT_ONLY -c "$zdir/C/$f.c" -o "obj/7z/$f.o"
done
$ar rcs "$work/lib/lib7zdec.a" obj/7z/*.o
cp "$zdir"/C/*.h "$work/include/7z/"

# Header-only dependencies: a folder of links, so /usr/include itself never reaches the cross
# compiler's include path (it would pull in glibc's headers).
ln -sfn /usr/include/boost "$work/include/boost"
ln -sfn /usr/include/eigen3/Eigen "$work/include/Eigen"
ln -sfn /usr/include/xxhash.h "$work/include/xxhash.h"

rm -rf "$work/src"
echo "$stamp_version" > "$work/.stamp"
rm -rf "$DEDUP_DEPS"
chmod 755 "$work"
mv "$work" "$DEDUP_DEPS"
trap - EXIT
echo "bootstrap: done"
