#!/bin/sh
# The xz-utils source package that liblzma for Windows is built from, pinned
# in cmake/xz-utils.pin: its version and the SHA-256 of its three files.
#   xz-utils-source.sh fetch DIR   the pinned files into DIR (from the cache
#                                  build/deps/xz-utils or the archive), checked
#   xz-utils-source.sh verify DIR  check the files in DIR against the pin
#   xz-utils-source.sh pin         move the pin to the version the archive
#                                  serves (make pin-xz-utils)
# A mismatch or a version the archive no longer serves stops with one line.
#
# apt runs with a configuration of its own under build/deps/apt: deb-src
# entries derived at run time from the machine's deb entries (no archive
# address is written into the project), and its own lists and cache. Nothing
# of the machine's apt configuration is changed. apt takes the files through
# the archive's signed index (the keys of /usr/share/keyrings, as for every
# package); the pin command also checks the .dsc signature against
# debian-keyring.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
pin="$root/cmake/xz-utils.pin"
apt="$root/build/deps/apt"
cache="$root/build/deps/xz-utils"
keyring=/usr/share/keyrings/debian-keyring.gpg
move="make pin-xz-utils"

stop() {
    echo "xz-utils source: $*" >&2
    exit 1
}

pinned_version() { sed -n 's/^version //p' "$pin"; }
# "file sha256" lines of the pin
pinned_files() { sed -n 's/^sha256 \([0-9a-f]*\) \(.*\)/\2 \1/p' "$pin"; }

# The deb-src entries: each deb entry of the machine's sources with its type
# changed; entries that are deb-src already are left out (earlier versions of
# the set-up added such a file).
write_apt_config() {
    mkdir -p "$apt/sources.list.d" "$apt/lists/partial" "$apt/cache/archives/partial"
    : >"$apt/sources.list"
    : >"$apt/sources.list.d/deb-src.sources.tmp"
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk 'BEGIN { RS = ""; ORS = "\n\n" }
            {
                n = split($0, line, "\n"); keep = 0
                for (i = 1; i <= n; i++)
                    if (line[i] ~ /^Types:/) {
                        m = split(substr(line[i], 7), type, /[ \t]+/)
                        for (j = 1; j <= m; j++)
                            if (type[j] == "deb") { keep = 1; line[i] = "Types: deb-src" }
                    }
                if (keep) { out = line[1]; for (i = 2; i <= n; i++) out = out "\n" line[i]; print out }
            }' "$f" \
            >>"$apt/sources.list.d/deb-src.sources.tmp"
    done
    mv "$apt/sources.list.d/deb-src.sources.tmp" "$apt/sources.list.d/deb-src.sources"
    if [ -f /etc/apt/sources.list ]; then
        sed -n 's/^\([[:space:]]*\)deb\([[:space:]]\)/\1deb-src\2/p' /etc/apt/sources.list >"$apt/sources.list"
    fi
}

apt_private() {
    apt-get -q -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts="$apt/sources.list.d" \
        -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" "$@"
}

# The source versions the archive serves, newest last.
served_versions() {
    apt-cache -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts="$apt/sources.list.d" \
        -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" showsrc --only-source xz-utils 2>/dev/null |
        sed -n 's/^Version: //p' | sort -u | sort -V
}

apt_update() {
    write_apt_config
    apt_private update >"$apt/update.log" 2>&1 || { cat "$apt/update.log" >&2; stop "apt-get update failed"; }
}

# download VERSION DIR: the source package of that version into DIR, taken
# through the signed index; apt's unprivileged user writes it there.
download() {
    [ -n "$(ls "$apt/lists" 2>/dev/null | grep _Sources)" ] || apt_update
    owner=$(stat -c %u "$2")
    id _apt >/dev/null 2>&1 && chown _apt "$2"
    if ! (cd "$2" && apt_private source --download-only "xz-utils=$1") >"$apt/source.log" 2>&1; then
        apt_update
        (cd "$2" && apt_private source --download-only "xz-utils=$1") >"$apt/source.log" 2>&1
    fi
    ok=$?
    chown -R "$owner" "$2"
    return $ok
}

verify() {
    pinned_files | while read -r file expected; do
        if [ ! -f "$1/$file" ]; then
            found="no such file"
        else
            found=$(sha256sum <"$1/$file" | cut -c1-64)
            [ "$found" = "$expected" ] && continue
            found="SHA-256 $found"
        fi
        stop "$1/$file: expected SHA-256 $expected (cmake/xz-utils.pin, version $(pinned_version)), found" \
             "$found; delete the file to fetch it again, or move the pin: $move"
    done
}

fetch() {
    mkdir -p "$1"
    version=$(pinned_version)
    missing=0
    for file in $(pinned_files | cut -d' ' -f1); do
        [ -f "$1/$file" ] && continue
        if [ "$1" != "$cache" ] && [ -f "$cache/$file" ]; then
            cp "$cache/$file" "$1/"
        else
            missing=1
        fi
    done
    if [ $missing -eq 1 ] && ! download "$version" "$1"; then
        served=$(served_versions | paste -sd ' ')
        stop "version $version (cmake/xz-utils.pin) is not served by the archive, which has:" \
             "${served:-none}; move the pin: $move"
    fi
    verify "$1"
}

# The .dsc signed by a key of Debian's keyring; prints the key's fingerprint.
check_signature() {
    if [ ! -f "$keyring" ]; then
        echo "Installing debian-keyring to check the signature of the .dsc" >&2
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends debian-keyring \
            >"$apt/keyring.log" 2>&1 || { cat "$apt/keyring.log" >&2; stop "cannot install debian-keyring"; }
    fi
    gpgv --status-fd 1 --keyring "$keyring" "$1" 2>"$apt/gpgv.log" | sed -n 's/^\[GNUPG:\] VALIDSIG \([0-9A-F]*\) .*/\1/p' |
        grep . || { cat "$apt/gpgv.log" >&2; stop "$1 carries no valid signature of a key in $keyring"; }
}

move_pin() {
    apt_update
    version=$(served_versions | tail -1)
    [ -n "$version" ] || stop "the archive serves no xz-utils source"
    new="$apt/pin-new"
    rm -rf "$new"
    mkdir -p "$new"
    download "$version" "$new" || { cat "$apt/source.log" >&2; stop "cannot download xz-utils $version"; }
    dsc=$(ls "$new"/xz-utils_*.dsc)
    signer=$(check_signature "$dsc") || exit 1
    old=$(pinned_version 2>/dev/null)
    {
        echo "# The xz-utils source package that liblzma for Windows is built from (cmake/build-liblzma-win.sh),"
        echo "# and the SHA-256 of its files, checked before every unpacking. Moved by: $move"
        echo "version $version"
        echo "signed-by $signer"
        for f in "$dsc" $(sed -n '/^Files:/,/^$/s/^ [0-9a-f]* [0-9]* //p' "$dsc" | sed "s|^|$new/|"); do
            echo "sha256 $(sha256sum <"$f" | cut -c1-64) $(basename "$f")"
        done
    } >"$pin.tmp"
    mv "$pin.tmp" "$pin"
    # Move the files into the cache, so that the next build need not fetch.
    mkdir -p "$cache"
    mv "$new"/xz-utils_* "$cache/"
    rm -rf "$new"
    echo "xz-utils source pinned at $version (was ${old:-nothing}), .dsc signed by $signer; cmake/xz-utils.pin:"
    cat "$pin"
    echo "Debian's changelog entry:"
    tar -xOJf "$cache/$(sed -n 's/^sha256 [0-9a-f]* \(.*\.debian\.tar\.xz\)$/\1/p' "$pin")" debian/changelog \
        >"$apt/changelog"
    dpkg-parsechangelog -l "$apt/changelog" -c1 -S Changes
}

case "${1:-}" in
    fetch) [ -n "${2:-}" ] || stop "usage: fetch DIR"; fetch "$2" ;;
    verify) [ -n "${2:-}" ] || stop "usage: verify DIR"; verify "$2" ;;
    pin) move_pin ;;
    *) stop "usage: xz-utils-source.sh fetch DIR | verify DIR | pin" ;;
esac
