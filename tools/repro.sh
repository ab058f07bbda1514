#!/bin/sh
# Reproducible builds: builds the setup program and the payload programs twice,
# in two fresh build folders configured like the win preset, and compares the
# shipped files byte for byte. Neither build may carry a build path.
#   usage: repro.sh [results xml]
# Needs the native packing tool, the icon generator and liblzma for Windows (make builds them).
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
xml=${1:-}
pack=${ORBELUNE_PACK_TOOL:-$root/build/native/tools/pack/orbelune-pack}
icons=${ORBELUNE_ICON_TOOL:-$root/build/native/tools/icons/orbelune-icons}
lzma=${LIBLZMA_WIN_ROOT:-$root/build/deps/liblzma-win}
shipped="OrbeluneSetup.exe payload/payload.bin payload/Vantok.exe payload/Brindlecap.exe payload/Ostravelind.exe
payload/Zafrin.exe payload/Kestrefond.exe payload/Quillmarsh.exe payload/Cryvane.exe payload/Drumlake.exe
payload/uninstall.exe payload/UninstallAdmin.exe"

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
    (cd "$tree" && sha256sum $shipped) >"$root/build/repro-$n.sha256"
done

for f in $shipped; do
    check "identical.$(basename "$f")" cmp -s "$root/build/repro-1/$f" "$root/build/repro-2/$f"
done
# Neither the source folder nor a build folder may be named in a binary.
for n in 1 2; do
    for f in $shipped; do
        if grep -q -a -e "$root" -e "repro-$n" "$root/build/repro-$n/$f"; then
            check "no_build_path.$n.$(basename "$f")" false
        fi
    done
done
check no_build_paths true

echo "repro: OrbeluneSetup.exe $(sed -n 's/ *OrbeluneSetup.exe$//p' "$root/build/repro-1.sha256") (build 1)"
echo "repro: OrbeluneSetup.exe $(sed -n 's/ *OrbeluneSetup.exe$//p' "$root/build/repro-2.sha256") (build 2)"
if ! cmp -s "$root/build/repro-1.sha256" "$root/build/repro-2.sha256"; then
    diff "$root/build/repro-1.sha256" "$root/build/repro-2.sha256"
fi
if [ -n "$xml" ]; then
    write_results repro "$xml"
fi
echo "repro: $passed passed, $failed failed"
[ $failed -eq 0 ] && rm -rf "$root/build/repro-1" "$root/build/repro-2"
[ $failed -eq 0 ]
