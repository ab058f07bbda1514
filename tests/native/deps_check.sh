#!/bin/sh
# The set-up check names every command that a script calls and that is
# missing, with its package: run with a PATH that lacks `wine` (as a machine
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

[ -n "${1:-}" ] && write_results setup-check "$1"
[ $failed -eq 0 ]
