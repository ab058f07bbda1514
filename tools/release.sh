#!/bin/sh
# A signed release: the release preset built in FOLDER (build/release for
# make release), every shipped program signed by tools/sign.sh as it is
# linked, then each signature checked by osslsigncode against the root that
# the key chains to.
#   usage: release.sh FOLDER [TARGET...]   (more targets to build there, such
#                                           as the Windows tests of a release)
# Needs the native packing tool and liblzma for Windows (make builds both).
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
tree=$1
shift
. "$root/tools/checks.sh"
sign="$root/tools/sign.sh"
cd "$root"

sh "$sign" prepare || exit 1
identity=$(sh "$sign" identity) || exit 1
ca=$(sh "$sign" root) || exit 1

mkdir -p "$tree"
log="$tree/release.log"
# Signed programs are kept from one build to the next; another key or
# another time of the sources has every one of them linked and signed anew.
if [ "$(cat "$tree/signing-identity" 2>/dev/null)" != "$identity" ]; then
    for f in $shipped_programs; do
        rm -f "$tree/$f"
    done
    echo "$identity" >"$tree/signing-identity"
fi
if ! cmake --preset release -B "$tree" -DORBELUNE_SIGN_ROOT="$ca" >"$log" 2>&1 ||
   ! cmake --build "$tree" -j2 --target OrbeluneSetup "$@" >>"$log" 2>&1; then
    tail -20 "$log"
    echo "release: the build in $tree failed"
    exit 1
fi

bad=0
for f in $shipped_programs; do
    if ! osslsigncode verify -CAfile "$ca" -in "$tree/$f" >"$tree/verify.log" 2>&1; then
        echo "release: the signature of $f does not verify:"
        tail -5 "$tree/verify.log"
        bad=1
    fi
done
rm -f "$tree/verify.log"
[ $bad -eq 0 ] || exit 1
echo "release: $(echo $shipped_programs | wc -w) signatures verified against $ca"
echo "release: $tree/OrbeluneSetup.exe $(sha256sum <"$tree/OrbeluneSetup.exe" | cut -c1-64)"
