#!/bin/sh
# Builds liblzma as a static library for 64-bit Windows from Debian's xz-utils
# source package, once: later builds find it under build/deps and reuse it.
#   usage: cmake/build-liblzma-win.sh <project root>
set -e
root=$(cd "${1:-.}" && pwd)
out="$root/build/deps/liblzma-win"
work="$root/build/deps/xz-utils"
[ -f "$out/lib/liblzma.a" ] && [ -f "$out/include/lzma.h" ] && exit 0

echo "Building liblzma for Windows from Debian's xz-utils source"
sh "$root/tools/add-deb-src.sh"
rm -rf "$work"
mkdir -p "$work"
cd "$work"
apt-get source --download-only xz-utils >/dev/null 2>&1 || {
    apt-get update -q >/dev/null
    apt-get source --download-only xz-utils
}
dpkg-source -x xz-utils_*.dsc src >/dev/null
cmake -S src -B build \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_SHARED_LIBS=OFF \
    -DCMAKE_C_FLAGS="-ffunction-sections -fdata-sections -ffile-prefix-map=$work=xz-utils" \
    >cmake.log 2>&1 || { cat cmake.log; exit 1; }
cmake --build build --target liblzma -j"$(nproc)" >build.log 2>&1 || { tail -40 build.log; exit 1; }

rm -rf "$out.tmp"
mkdir -p "$out.tmp/lib" "$out.tmp/include"
cp build/liblzma.a "$out.tmp/lib/"
cp -r src/src/liblzma/api/lzma.h src/src/liblzma/api/lzma "$out.tmp/include/"
rm -rf "$out"
mv "$out.tmp" "$out"
echo "liblzma for Windows: $out"
