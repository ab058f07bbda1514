#!/bin/sh
# The set-up check names every command that a script calls and that is
# missing, with its package, and the liblzma build checks its source: run with a PATH that lacks `wine` (as a machine
# with only `wine64` installed does), it must name exactly that one, and with
# the machine's own PATH nothing.
#   usage: deps_check.sh <results xml>
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$root/tools/checks.sh"
script="$root/tools/install-deps.sh"

# With an empty PATH every command of the table is reported missing.
mkdir "$work/empty" "$work/bin"
PATH="$work/empty" /bin/sh "$script" --check >"$work/all" 2>&1
sed -n 's/^missing command: \([^ ]*\) .*/\1/p' "$work/all" >"$work/names"

all_named() { [ "$(wc -l <"$work/names")" -ge 20 ] && grep -qx wine "$work/names" && grep -qx Xvfb "$work/names"; }
check "empty PATH: every command is named" all_named

for cmd in $(cat "$work/names"); do
    [ "$cmd" = wine ] && continue
    real=$(command -v "$cmd") && ln -s "$real" "$work/bin/$cmd"
done
only_wine() {
    ! PATH="$work/bin" /bin/sh "$script" --check >"$work/out" 2>&1 &&
        [ "$(cat "$work/out")" = "missing command: wine (Debian package wine)" ]
}
check "PATH without wine: wine and its package named, nonzero exit" only_wine
check "machine PATH: nothing missing" /bin/sh "$script" --check

# The pinned xz-utils source: copies of the cached files pass the check; with
# one byte of one of them changed, the liblzma build stops with one line
# naming the file, the pinned and the found digest and how to move the pin.
mkdir "$work/lib.xz-utils"
cp "$root"/build/deps/xz-utils/xz-utils_* "$work/lib.xz-utils/"
check "pinned xz-utils source: cached files pass" sh "$root/tools/xz-utils-source.sh" verify "$work/lib.xz-utils"
orig=$(ls "$work"/lib.xz-utils/*.orig.tar.xz)
printf 'X' | dd of="$orig" bs=1 seek=1000 conv=notrunc status=none
tampered_stops() {
    ! sh "$root/cmake/build-liblzma-win.sh" "$root" "$work/lib" >/dev/null 2>"$work/err" &&
        cat "$work/err" && [ "$(wc -l <"$work/err")" -eq 1 ] && [ ! -d "$work/lib.xz-utils/src" ] &&
        grep -q "$(basename "$orig"): expected SHA-256 $(sed -n 's/^sha256 \([0-9a-f]*\) .*orig.*/\1/p' \
            "$root/cmake/xz-utils.pin") .*found SHA-256 $(sha256sum <"$orig" | cut -c1-64).*make pin-xz-utils" "$work/err"
}
check "pinned xz-utils source: one changed byte stops the build with one line" tampered_stops

[ -n "${1:-}" ] && write_results setup-check "$1"
[ $failed -eq 0 ]
