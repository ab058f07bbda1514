#!/bin/sh
# Runs the native tests, the fuzz targets for a bounded time (after replaying
# their committed corpus), the reproducible-build check, then the Windows tests
# under Wine on a private Xvfb display, then those of them that check the
# shipped programs (start-up, hardening and signatures, the end-to-end run)
# again on the signed release in build/release, and ends with one line
# "N passed, M failed".
set -u
ORBELUNE_ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ORBELUNE_ROOT/tools/wine-env.sh"
cd "$ORBELUNE_ROOT"

results="$ORBELUNE_ROOT/build/test-results"
rm -rf "$results"
mkdir -p "$results/release"

trap 'wineserver -k 2>/dev/null; stop_xvfb' EXIT INT TERM
start_xvfb || exit 1
init_wine_prefix
wineserver -p 60

ctest --test-dir build/native --output-on-failure -j2
native_rc=$?
sh tests/fuzz/fuzz.sh test "${FUZZ_TEST_SECONDS:-12}" "$results/fuzz.xml"
fuzz_rc=$?
sh tools/repro.sh "$results/repro.xml"
repro_rc=$?
ctest --test-dir build/win --output-on-failure
win_rc=$?
# The signed release, with the Windows tests that read the shipped programs.
sh tools/release.sh build/release harness_tests startup_tests wizard_tests hardening_tests e2e_driver &&
    E2E_MESSAGE_HOLD=2 ctest --test-dir build/release --output-on-failure -R '^win\.((harness|startup|wizard|hardening)_tests|e2e)$'
release_rc=$?

passed=0
failed=0
skipped=0
for xml in "$results"/*.xml "$results"/release/*.xml; do
    [ -f "$xml" ] || continue
    line=$(grep -m1 '<testsuites ' "$xml")
    t=$(echo "$line" | sed -n 's/.* tests="\([0-9]*\)".*/\1/p')
    f=$(echo "$line" | sed -n 's/.* failures="\([0-9]*\)".*/\1/p')
    e=$(echo "$line" | sed -n 's/.* errors="\([0-9]*\)".*/\1/p')
    s=$(grep -c 'result="skipped"' "$xml")
    passed=$((passed + t - f - e - s))
    failed=$((failed + f + e))
    skipped=$((skipped + s))
done
# A test program that crashed or hung leaves no counts of its own.
if [ $native_rc -ne 0 ] || [ $fuzz_rc -ne 0 ] || [ $repro_rc -ne 0 ] || [ $win_rc -ne 0 ] ||
   [ $release_rc -ne 0 ]; then
    [ $failed -eq 0 ] && failed=1
fi
if [ $skipped -gt 0 ]; then
    echo "$passed passed, $failed failed, $skipped skipped"
else
    echo "$passed passed, $failed failed"
fi
[ $failed -eq 0 ]
