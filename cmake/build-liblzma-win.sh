#!/bin/sh
# Builds liblzma as a static library for 64-bit Windows from Debian's xz-utils
# source package, once: later builds find it under build/deps and reuse it,
# until the flags below change.
#   usage: cmake/build-liblzma-win.sh <project root> [<output folder>]
set -e
root=$(cd "${1:-.}" && pwd)
out="${2:-$root/build/deps/liblzma-win}"
work="$root/build/deps/xz-utils"
[ "$out" = "$root/build/deps/liblzma-win" ] || work="$out.xz-utils"

# The setup program decodes one raw LZMA1 stream and nothing else. xz's CMake
# build defines every filter on the compiler's command line, before the
# flags; undefining the other decoders there leaves liblzma's filter tables
# with LZMA1 alone, so that the linker drops the rest (about 7 KiB).
decoders="-UHAVE_DECODER_ARM -UHAVE_DECODER_ARMTHUMB -UHAVE_DECODER_ARM64 -UHAVE_DECODER_DELTA"
decoders="$decoders -UHAVE_DECODER_IA64 -UHAVE_DECODER_LZMA2 -UHAVE_DECODER_POWERPC -UHAVE_DECODER_SPARC"
decoders="$decoders -UHAVE_DECODER_X86"
flags="-ffunction-sections -fdata-sections $decoders"
[ -f "$out/lib/liblzma.a" ] && [ -f "$out/include/lzma.h" ] &&
    [ "$(cat "$out/build-flags" 2>/dev/null)" = "$flags" ] && exit 0

echo "Building liblzma for Windows from Debian's xz-utils source"
mkdir -p "$work"
cd "$work"
if ! ls xz-utils_*.dsc >/dev/null 2>&1; then
    sh "$root/tools/add-deb-src.sh"
    apt-get source --download-only xz-utils >/dev/null 2>&1 || {
        apt-get update -q >/dev/null
        apt-get source --download-only xz-utils
    }
fi
rm -rf src build
dpkg-source -x xz-utils_*.dsc src >/dev/null
cmake -S src -B build \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_SHARED_LIBS=OFF \
    -DCMAKE_C_FLAGS="$flags -ffile-prefix-map=$work=xz-utils" \
    >cmake.log 2>&1 || { cat cmake.log; exit 1; }
cmake --build build --target liblzma -j"$(nproc)" >build.log 2>&1 || { tail -40 build.log; exit 1; }
# The undefinitions must have reached the filter table.
if x86_64-w64-mingw32-nm build/CMakeFiles/liblzma.dir/src/liblzma/common/filter_decoder.c.obj |
    grep -q lzma_simple_x86_decoder_init; then
    echo "liblzma still holds the other decoders; the flags did not apply" >&2
    exit 1
fi

rm -rf "$out.tmp"
mkdir -p "$out.tmp/lib" "$out.tmp/include"
cp build/liblzma.a "$out.tmp/lib/"
cp -r src/src/liblzma/api/lzma.h src/src/liblzma/api/lzma "$out.tmp/include/"
echo "$flags" >"$out.tmp/build-flags"
rm -rf "$out"
mv "$out.tmp" "$out"
echo "liblzma for Windows: $out"
