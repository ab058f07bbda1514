#!/bin/sh
# Runs the native tests, the fuzz targets for a bounded time (after replaying
# their committed corpus), the reproducible-build check, the lint of the GitHub
# workflows, then the Windows tests
# under Wine on a private Xvfb display, then those of them that check the
# shipped programs (start-up, hardening and signatures, the journey, the
# end-to-end run)
# again on the signed release in build/release. Then the Windows tests of the
# default build and the end-to-end run once more on the second platform,
# Wine 10 in a Debian 13 root (tools/debian13.sh), unless ORBELUNE_ONE_PLATFORM
# is set. It ends with the counts of each results file, named by platform,
# and one line "N passed, M failed" over all of them.
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
sh tools/lint-workflows.sh "$results/workflows.xml"
lint_rc=$?
ctest --test-dir build/win --output-on-failure
win_rc=$?
# The signed release, with the Windows tests that read the shipped programs.
# (JOURNEY_MESSAGE_HOLD shortens the journey's wait on an open message, which
# the default build's run has waited out; the reinstall right after a
# removal, which waits out the uninstaller's helper for half a minute, runs
# on the two default builds alone: signing changes nothing that it checks.)
sh tools/release.sh build/release harness_tests startup_tests wizard_tests hardening_tests journey_tests \
    e2e_driver &&
    JOURNEY_MESSAGE_HOLD=2 GTEST_FILTER='-Journey.InstallationRightAfterARemovalKeepsItsUninstaller' \
    ctest --test-dir build/release --output-on-failure \
        -R '^win\.((harness|startup|wizard|hardening|journey)_tests|e2e)$'
release_rc=$?
wineserver -k 2>/dev/null
# The results of each platform, with the journey's pictures, in a folder of its own.
mkdir -p "$results/wine8"
mv "$results"/win.*.xml "$results"/journey-*.png "$results/wine8/" 2>/dev/null

# The second platform runs the same programs of build/win (the signing
# checks aside, which run no Windows program).
second_rc=0
if [ -z "${ORBELUNE_ONE_PLATFORM:-}" ]; then
    if sh tools/debian13.sh make && use_platform wine10 && init_wine_prefix; then
        wineserver -p 60
        ctest --test-dir build/win --output-on-failure -E '^win\.signing$'
        second_rc=$?
        wineserver -k 2>/dev/null
    else
        second_rc=1
    fi
    mkdir -p "$results/wine10"
    mv "$results"/win.*.xml "$results"/journey-*.png "$results/wine10/" 2>/dev/null
    use_platform wine8
fi

passed=0
failed=0
skipped=0
for xml in "$results"/*.xml "$results"/*/*.xml; do
    [ -f "$xml" ] || continue
    case $xml in
    */wine8/*) where="Wine 8, default build" ;;
    */release/*) where="Wine 8, signed release" ;;
    */wine10/*) where="Wine 10 (Debian 13), default build" ;;
    *) where="native" ;;
    esac
    line=$(grep -m1 '<testsuites ' "$xml")
    t=$(echo "$line" | sed -n 's/.* tests="\([0-9]*\)".*/\1/p')
    f=$(echo "$line" | sed -n 's/.* failures="\([0-9]*\)".*/\1/p')
    e=$(echo "$line" | sed -n 's/.* errors="\([0-9]*\)".*/\1/p')
    s=$(grep -c 'result="skipped"' "$xml")
    echo "$where: $(basename "$xml" .xml): $((t - f - e - s)) passed, $((f + e)) failed"
    passed=$((passed + t - f - e - s))
    failed=$((failed + f + e))
    skipped=$((skipped + s))
done
# A test program that crashed or hung leaves no counts of its own.
if [ $native_rc -ne 0 ] || [ $fuzz_rc -ne 0 ] || [ $repro_rc -ne 0 ] || [ $lint_rc -ne 0 ] || [ $win_rc -ne 0 ] ||
   [ $release_rc -ne 0 ] || [ $second_rc -ne 0 ]; then
    [ $failed -eq 0 ] && failed=1
fi
if [ $skipped -gt 0 ]; then
    echo "$passed passed, $failed failed, $skipped skipped"
else
    echo "$passed passed, $failed failed"
fi
[ $failed -eq 0 ]
