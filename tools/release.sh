#!/bin/sh
# A signed release: the release preset built in FOLDER (build/release for
# make release), every shipped program signed by tools/sign.sh as it is
# linked, and each program that the payload list gives by path as a signed
# copy unless it carries a valid signature (sign.sh given); then each
# signature checked by osslsigncode against the root that the key chains to.
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
if sh "$sign" is-test; then
    signed_with="signed with the TEST certificate: not for distribution"
    echo "release: ======================================================================"
    echo "release: $signed_with"
    echo "release: ======================================================================"
else
    signed_with="signed with the maintainer's key"
fi

# The files of the release, one a line: NAME, PATH and where it came from,
# separated by tabs. The setup program, its payload container, and each
# program that the payload packs as the record of the last pack names it
# (tools/pack: the file as read), with its origin (tools/sign.sh given).
tab=$(printf '\t')
entry_names="license.txt Vantok.exe Brindlecap.exe Ostravelind.exe Zafrin.exe Kestrefond.exe Quillmarsh.exe
Cryvane.exe Drumlake.exe UninstallAdmin.exe uninstall.exe"
release_files() {
    printf 'OrbeluneSetup.exe\t%s\tthe setup program, built here\n' "$tree/OrbeluneSetup.exe"
    printf 'payload/payload.bin\t%s\tits payload, packed here\n' "$tree/payload/payload.bin"
    while read -r what entry crc size time path; do
        [ "$what" = entry ] && [ "$entry" -ge 1 ] || continue
        name=$(echo $entry_names | cut -d' ' -f$((entry + 1)))
        origin=$(sed -n "s/^$entry //p" "$tree/given/origins")
        printf 'payload/%s\t%s\tentry %s, %s\n' "$name" "$path" "$entry" "$origin"
    done <"$tree/payload/payload.inputs"
}

# What went into the release, as an SPDX 2.3 document (tag-value): the
# commit, every shipped file, the pinned xz-utils source, the compiler and
# how it was signed. Its time is the time of the sources, so that the same
# sources give the same document.
write_manifest() {
    commit=$(git rev-parse HEAD) || return 1
    [ -z "$(git status --porcelain)" ] || commit="$commit+uncommitted-changes"
    created=$(date -u -d "@${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}" +%Y-%m-%dT%H:%M:%SZ) || return 1
    compiler=x86_64-w64-mingw32-g++-posix
    compiler_package=g++-mingw-w64-x86-64-posix
    compiler_version=$(dpkg-query -W -f='${Version}' $compiler_package) || return 1
    compiler_line=$($compiler --version | head -1) || return 1
    pin="$root/cmake/xz-utils.pin"
    xz_version=$(sed -n 's/^version //p' "$pin")
    code=$(cut -f2 "$tree/release.files" | while IFS= read -r f; do sha1sum <"$f" | cut -c1-40; done |
        sort | tr -d '\n' | sha1sum | cut -c1-40)
    purl() { echo "pkg:deb/debian/$1@$2?arch=$3" | sed 's/+/%2B/g'; }
    cat <<SPDX
SPDXVersion: SPDX-2.3
DataLicense: CC0-1.0
SPDXID: SPDXRef-DOCUMENT
DocumentName: OrbeluneSetup-$commit
DocumentNamespace: urn:orbelune:release:$commit:$(sha256sum <"$tree/OrbeluneSetup.exe" | cut -c1-64)
Creator: Organization: Orbelune
Creator: Tool: orbelune-release
Created: $created
DocumentComment: <text>Orbelune App Pack (Single User) setup, commit $commit, $signed_with.</text>

PackageName: OrbeluneSetup
SPDXID: SPDXRef-Package-OrbeluneSetup
PackageVersion: $commit
PackageSupplier: Organization: Orbelune
PackageDownloadLocation: NOASSERTION
FilesAnalyzed: true
PackageVerificationCode: $code
PackageLicenseConcluded: NOASSERTION
PackageLicenseInfoFromFiles: NOASSERTION
PackageLicenseDeclared: NOASSERTION
PackageCopyrightText: NOASSERTION
PackageComment: <text>Every program built here, or given without a signature, $signed_with (Authenticode, SHA-256); a program given with a valid signature keeps it. Built with $compiler_line.</text>
SPDX
    while IFS="$tab" read -r f path origin; do
        printf '\nFileName: ./%s\nSPDXID: SPDXRef-File-%s\nFileChecksum: SHA1: %s\nFileChecksum: SHA256: %s\n' \
            "$f" "$(echo "$f" | tr / -)" "$(sha1sum <"$path" | cut -c1-40)" "$(sha256sum <"$path" | cut -c1-64)"
        printf 'FileComment: <text>%s</text>\nLicenseConcluded: NOASSERTION\nCopyrightText: NOASSERTION\n' "$origin"
    done <"$tree/release.files"
    cat <<SPDX

PackageName: xz-utils
SPDXID: SPDXRef-Package-xz-utils
PackageVersion: $xz_version
PackageSupplier: Organization: Debian
PackageDownloadLocation: NOASSERTION
FilesAnalyzed: false
PackageChecksum: SHA256: $(sed -n 's/^sha256 \([0-9a-f]*\) .*\.dsc$/\1/p' "$pin")
PackageLicenseConcluded: NOASSERTION
PackageLicenseDeclared: NOASSERTION
PackageCopyrightText: NOASSERTION
PackageComment: <text>Debian source package pinned in cmake/xz-utils.pin, .dsc signed by $(sed -n 's/^signed-by //p' "$pin"); liblzma built from it (LZMA1 decoder, small variants). SHA-256 of its files: $(sed -n 's/^sha256 //p' "$pin" | paste -sd ';' | sed 's/;/; /g').</text>
ExternalRef: PACKAGE-MANAGER purl $(purl xz-utils "$xz_version" source)

PackageName: $compiler_package
SPDXID: SPDXRef-Package-compiler
PackageVersion: $compiler_version
PackageSupplier: Organization: Debian
PackageDownloadLocation: NOASSERTION
FilesAnalyzed: false
PackageLicenseConcluded: NOASSERTION
PackageLicenseDeclared: NOASSERTION
PackageCopyrightText: NOASSERTION
PackageComment: <text>$compiler_line</text>
ExternalRef: PACKAGE-MANAGER purl $(purl $compiler_package "$compiler_version" amd64)

Relationship: SPDXRef-DOCUMENT DESCRIBES SPDXRef-Package-OrbeluneSetup
Relationship: SPDXRef-Package-OrbeluneSetup STATIC_LINK SPDXRef-Package-xz-utils
Relationship: SPDXRef-Package-compiler BUILD_TOOL_OF SPDXRef-Package-OrbeluneSetup
SPDX
    cut -f1 "$tree/release.files" | while IFS= read -r f; do
        echo "Relationship: SPDXRef-Package-OrbeluneSetup CONTAINS SPDXRef-File-$(echo "$f" | tr / -)"
    done
}

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

# Every signature: the setup program's and those of the programs that it
# packs, against the release's root; a program given with a signature of
# its own against what sign.sh accepted it with.
release_files >"$tree/release.files" || { echo "release: no record of the payload in $tree"; exit 1; }
bad=0
count=0
while IFS="$tab" read -r f path origin; do
    [ "$f" = payload/payload.bin ] && continue
    trusted=$ca
    case $origin in *"kept with its own signature") trusted="$tree/given/trusted.pem" ;; esac
    if ! osslsigncode verify -CAfile "$trusted" -in "$path" >"$tree/verify.log" 2>&1 </dev/null; then
        echo "release: the signature of $f ($path) does not verify:"
        tail -5 "$tree/verify.log"
        bad=1
    fi
    count=$((count + 1))
done <"$tree/release.files"
rm -f "$tree/verify.log"
[ $bad -eq 0 ] || exit 1
echo "release: $count signatures verified (the setup program and the 10 programs of its payload) against $ca"
write_manifest >"$tree/OrbeluneSetup.spdx" || { echo "release: could not write the manifest"; exit 1; }
echo "release: manifest $tree/OrbeluneSetup.spdx"
echo "release: $tree/OrbeluneSetup.exe $(sha256sum <"$tree/OrbeluneSetup.exe" | cut -c1-64), $signed_with"
