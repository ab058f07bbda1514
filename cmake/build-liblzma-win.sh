#!/bin/sh
# Builds liblzma as a static library for 64-bit Windows from Debian's xz-utils
# source package pinned in cmake/xz-utils.pin, once: later builds find it
# under build/deps and reuse it until the pin or the options below change.
# The source files are checked against the pin before they are unpacked
# (tools/xz-utils-source.sh), cached ones too.
#   usage: cmake/build-liblzma-win.sh <project root> [<output folder> [standard]]
# "standard" builds liblzma without its small variants: the reference of
# `make bench`'s load figure.
set -e
root=$(cd "${1:-.}" && pwd)
out="${2:-$root/build/deps/liblzma-win}"
variant="${3:-small}"
work="$root/build/deps/xz-utils"
[ "$out" = "$root/build/deps/liblzma-win" ] || work="$out.xz-utils"

# The setup program decodes one raw LZMA1 stream and nothing else: the LZMA1
# decoder alone, no encoders, the one check that liblzma cannot leave out,
# and liblzma's small variants (HAVE_SMALL), which decode as fast in about
# 7 KiB less. Without threads the small build's one-time initialisations
# (its CRC tables) run on first use, from one thread, which is all the setup
# has; with threads, 5.4.1's Vista code for them does not compile.
options="--host=x86_64-w64-mingw32 --disable-shared --enable-static --disable-threads"
options="$options --enable-decoders=lzma1 --disable-encoders --enable-checks=crc32"
options="$options --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo --disable-lzma-links"
options="$options --disable-scripts --disable-doc --disable-nls --disable-rpath"
# The shipped build: GCC's smallest code (-Oz), which decodes as fast as
# -Os does (make bench, figure 2), and no section per function: the
# decoder's objects hold little that it does not call, and each section
# would pad its function to 16 bytes. The standard build, the reference of
# the load figure, stays as it was measured against.
if [ "$variant" = standard ]; then
    flags="-Os -ffunction-sections -fdata-sections"
else
    options="$options --enable-small"
    flags="-Oz"
fi
stamp="$options $flags $(sha256sum <"$root/cmake/xz-utils.pin" | cut -c1-64)"
[ -f "$out/lib/liblzma.a" ] && [ -f "$out/include/lzma.h" ] &&
    [ "$(cat "$out/build-stamp" 2>/dev/null)" = "$stamp" ] && exit 0

echo "Building liblzma ($variant) for Windows from Debian's xz-utils source $(sed -n 's/^version //p' "$root/cmake/xz-utils.pin")"
sh "$root/tools/xz-utils-source.sh" fetch "$work"
cd "$work"
dsc=$(sed -n 's/^sha256 [0-9a-f]* \(.*\.dsc\)$/\1/p' "$root/cmake/xz-utils.pin")
# The files are the pinned ones; where debian-keyring is installed, the
# signature of the .dsc is checked as well.
if [ -f /usr/share/keyrings/debian-keyring.gpg ]; then
    signature=--require-valid-signature
else
    signature=--skip-signature
fi
rm -rf src
dpkg-source $signature -x "$dsc" src >unpack.log 2>&1 || { cat unpack.log; exit 1; }
cd src
# The program's own entry runs no constructors (app/main.cpp), so liblzma
# must not rely on one: without it, liblzma makes its tables on first use.
./configure $options CC=x86_64-w64-mingw32-gcc-posix CFLAGS="$flags -ffile-prefix-map=$work=xz-utils" \
    >../configure.log 2>&1 || { tail -40 ../configure.log; exit 1; }
sed -i 's|^#define HAVE_FUNC_ATTRIBUTE_CONSTRUCTOR 1$|/* no constructors: #undef HAVE_FUNC_ATTRIBUTE_CONSTRUCTOR */|' config.h
make -C src/liblzma -j"$(nproc)" liblzma.la >../build.log 2>&1 || { tail -40 ../build.log; exit 1; }
lib=src/liblzma/.libs/liblzma.a
if x86_64-w64-mingw32-objdump -h "$lib" | grep -q -e '\.ctors' -e '\.CRT\$XC'; then
    echo "liblzma holds a constructor, which the setup program would never run" >&2
    exit 1
fi
if x86_64-w64-mingw32-nm "$lib" | grep -q -e ' T lzma_raw_encoder' -e ' T lzma_simple_x86_decoder_init'; then
    echo "liblzma still holds encoders or other decoders; the options did not apply" >&2
    exit 1
fi
if [ "$variant" != standard ] && ! x86_64-w64-mingw32-nm "$lib" | grep -q ' T lzma_crc32_init'; then
    echo "liblzma is not the small build; --enable-small did not apply" >&2
    exit 1
fi

rm -rf "$out.tmp"
mkdir -p "$out.tmp/lib" "$out.tmp/include"
cp "$lib" "$out.tmp/lib/"
cp -r src/liblzma/api/lzma.h src/liblzma/api/lzma "$out.tmp/include/"
echo "$stamp" >"$out.tmp/build-stamp"
rm -rf "$out"
mv "$out.tmp" "$out"
echo "liblzma for Windows: $out"
