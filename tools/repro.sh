#!/bin/sh
# Reproducible builds: builds the setup program and the payload programs twice,
# in two fresh build folders configured like the win preset, and compares the
# shipped files byte for byte. Neither build may carry a build path. Then the
# same for two signed releases made with the same key (tools/release.sh),
# whose signatures osslsigncode must accept, and reject once a byte of the
# payload resource is changed; the unsigned builds must carry no signature.
#   usage: repro.sh [results xml]
# Needs the native packing tool, the icon generator and liblzma for Windows (make builds them).
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
xml=${1:-}
pack=${ORBELUNE_PACK_TOOL:-$root/build/native/tools/pack/orbelune-pack}
icons=${ORBELUNE_ICON_TOOL:-$root/build/native/tools/icons/orbelune-icons}
lzma=${LIBLZMA_WIN_ROOT:-$root/build/deps/liblzma-win}
. "$root/tools/checks.sh"
passed=0
failed=0
check() {  # check CASE COMMAND...
    name=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "[ FAIL ] repro.$name"
    fi
}

# not_verified FILE [CAFILE]: osslsigncode finds no valid signature.
not_verified() {
    if [ -n "${2:-}" ]; then
        ! osslsigncode verify -CAfile "$2" -in "$1" >/dev/null 2>&1
    else
        ! osslsigncode verify -in "$1" >/dev/null 2>&1
    fi
}

# offset_of PART WHOLE: the byte offset at which file PART appears in file
# WHOLE, or nothing. od spells both as hex text of two digits a byte.
offset_of() {
    od -An -v -tx1 "$2" | tr -d ' \n' >"$root/build/repro-whole.hex"
    od -An -v -tx1 "$1" | tr -d ' \n' >"$root/build/repro-part.hex"
    awk 'NR == FNR { part = $0; next } { at = index($0, part); if (at % 2 == 1) print (at - 1) / 2 }' \
        "$root/build/repro-part.hex" "$root/build/repro-whole.hex"
    rm -f "$root/build/repro-whole.hex" "$root/build/repro-part.hex"
}

# flip_byte FILE OFFSET: inverts every bit of the byte at OFFSET, in place.
flip_byte() {
    byte=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
    printf "$(printf '\\%03o' $((255 - byte)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# compare NAME: the shipped files of build/NAME-1 and build/NAME-2 byte for
# byte; their digests go to build/NAME-N.sha256.
compare() {
    for n in 1 2; do
        (cd "$root/build/$1-$n" && sha256sum $shipped) >"$root/build/$1-$n.sha256"
    done
    for f in $shipped; do
        check "$1.identical.$(basename "$f")" cmp -s "$root/build/$1-1/$f" "$root/build/$1-2/$f"
    done
}

# digests NAME: the setup program's digest in either build, and what differs.
digests() {
    for n in 1 2; do
        echo "repro: $1-$n/OrbeluneSetup.exe $(sed -n 's/ *OrbeluneSetup.exe$//p' "$root/build/$1-$n.sha256")"
    done
    cmp -s "$root/build/$1-1.sha256" "$root/build/$1-2.sha256" ||
        diff "$root/build/$1-1.sha256" "$root/build/$1-2.sha256"
}

for n in 1 2; do
    tree="$root/build/repro-$n"
    rm -rf "$tree"
    start=$(date +%s)
    if ! cmake -S "$root" -B "$tree" -G "Unix Makefiles" \
            -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
            -DORBELUNE_PACK_TOOL="$pack" -DORBELUNE_ICON_TOOL="$icons" -DLIBLZMA_WIN_ROOT="$lzma" >"$root/build/repro-$n.log" 2>&1 ||
       ! cmake --build "$tree" -j2 --target OrbeluneSetup >>"$root/build/repro-$n.log" 2>&1; then
        tail -20 "$root/build/repro-$n.log"
        echo "repro: build $n failed"
        exit 1
    fi
    echo "repro: build $n in $(( $(date +%s) - start )) s"
done
compare repro
# Neither the source folder nor a build folder may be named in a binary.
for n in 1 2; do
    for f in $shipped; do
        if grep -q -a -e "$root" -e "repro-$n" "$root/build/repro-$n/$f"; then
            check "no_build_path.$n.$(basename "$f")" false
        fi
    done
done
check no_build_paths true
# Outside the build: no signature in the default build.
check unsigned_build_has_no_signature not_verified "$root/build/repro-1/OrbeluneSetup.exe"

# Two signed releases with the same key (release.sh checks every signature).
for n in 1 2; do
    tree="$root/build/repro-signed-$n"
    rm -rf "$tree"
    start=$(date +%s)
    if ! sh "$root/tools/release.sh" "$tree" >"$root/build/repro-signed-$n.log" 2>&1; then
        tail -20 "$root/build/repro-signed-$n.log"
        echo "repro: signed release $n failed"
        exit 1
    fi
    echo "repro: signed release $n in $(( $(date +%s) - start )) s"
done
compare repro-signed
# The manifest beside each signed setup: the same for the same sources, with
# the setup's digest and the test certificate named.
check repro-signed.identical.OrbeluneSetup.spdx cmp -s "$root/build/repro-signed-1/OrbeluneSetup.spdx" \
    "$root/build/repro-signed-2/OrbeluneSetup.spdx"
check signed.manifest_has_setup_digest grep -q \
    "^FileChecksum: SHA256: $(sha256sum <"$root/build/repro-signed-1/OrbeluneSetup.exe" | cut -c1-64)" \
    "$root/build/repro-signed-1/OrbeluneSetup.spdx"
check signed.manifest_says_test_certificate grep -q "signed with the TEST certificate: not for distribution" \
    "$root/build/repro-signed-1/OrbeluneSetup.spdx"
ca=$(sh "$root/tools/sign.sh" root)
for f in $shipped_programs; do
    check "signed_verifies.$(basename "$f")" \
        osslsigncode verify -CAfile "$ca" -in "$root/build/repro-signed-1/$f" >/dev/null 2>&1
done
# One byte of resource 102 changed: the payload container appears in the
# setup program exactly as packed, so its place is found by its bytes.
release="$root/build/repro-signed-1"
damaged="$release/damaged.exe"
offset=$(offset_of "$release/payload/payload.bin" "$release/OrbeluneSetup.exe")
check signed.payload_found_in_setup test -n "$offset"
if [ -n "$offset" ]; then
    cp "$release/OrbeluneSetup.exe" "$damaged"
    flip_byte "$damaged" $((offset + $(wc -c <"$release/payload/payload.bin") / 2))
    check signed.damaged_payload_rejected not_verified "$damaged" "$ca"
    rm -f "$damaged"
fi

digests repro
digests repro-signed
if [ -n "$xml" ]; then
    write_results repro "$xml"
fi
echo "repro: $passed passed, $failed failed"
[ $failed -eq 0 ] && rm -rf "$root/build/repro-1" "$root/build/repro-2" "$root/build/repro-signed-1" \
    "$root/build/repro-signed-2"
[ $failed -eq 0 ]
