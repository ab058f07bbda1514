#!/bin/sh
# The Windows test programs as one zip for a Windows machine, and their run
# from that zip under Wine.
#   windows-tests.sh pack [BUILD]  BUILD (default build/win) -> build/windows-tests.zip
#   windows-tests.sh run [ZIP]     unpacks ZIP into a fresh folder of a fresh
#                                  Wine prefix, runs "cmd /c run-tests.cmd"
#                                  there and prints its last line beside the
#                                  counts of make test's run of the same
#                                  programs (build/test-results)
# The run is on the platform that ORBELUNE_PLATFORM names (wine8, the
# default, or wine10: tools/wine-env.sh), and compares with make test's
# results of that platform; it takes a display from DISPLAY (else a private
# Xvfb).
set -eu
ORBELUNE_ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ORBELUNE_ROOT"
programs="harness_tests startup_tests wizard_tests install_tests hardening_tests journey_tests"

pack() {
    build=$1
    stage=build/windows-tests
    rm -rf "$stage" build/windows-tests.zip
    mkdir -p "$stage/tests" "$stage/payload"
    # The build's layout: the tests find everything relative to themselves.
    for f in $shipped; do cp "$build/$f" "$stage/$f"; done
    cp "$build/payload/license.txt" "$stage/payload/"
    for p in $programs; do cp "$build/tests/$p.exe" "$stage/tests/"; done
    cp "$build/tests/orbelune-planted.dll" "$stage/tests/"
    cp "$build/tests/run-as-user.exe" "$stage/tests/"  # the hosted runs' launcher
    sed 's/$/\r/' tests/win/run-tests.cmd >"$stage/run-tests.cmd"  # cmd reads CR LF
    (cd "$stage" && cmake -E tar cf ../windows-tests.zip --format=zip run-tests.cmd OrbeluneSetup.exe payload tests)
    echo "windows-tests: build/windows-tests.zip"
}

run() {
    zip=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
    platform=${ORBELUNE_PLATFORM:-wine8}
    . tools/wine-env.sh
    use_platform "$platform"
    [ "$platform" = wine10 ] && sh tools/debian13.sh make
    fresh=$(mktemp -d)
    export WINEPREFIX="$fresh/prefix"
    xvfb=
    if [ -z "${DISPLAY:-}" ]; then
        start_xvfb
        xvfb=1
    fi
    trap 'wineserver -k 2>/dev/null || true; [ -n "$xvfb" ] && stop_xvfb; rm -rf "$fresh"' EXIT
    wineboot -i >/dev/null 2>&1
    # Without a window manager Wine's managed windows wait for one.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    wineserver -w
    folder="$WINEPREFIX/drive_c/windows-tests"
    mkdir -p "$folder"
    (cd "$folder" && cmake -E tar xf "$zip")
    (cd "$folder" && wine cmd /c run-tests.cmd) >"$fresh/out" 2>&1 </dev/null || true
    echo "run-tests.cmd ($platform): $(tr -d '\r' <"$fresh/out" | grep -E '^[0-9]+ passed, [0-9]+ failed' | tail -1)"
    passed=0 failed=0
    for p in $programs; do
        xml=build/test-results/$platform/win.$p.xml
        [ -f "$xml" ] || continue
        line=$(grep -m1 '<testsuites ' "$xml")
        t=$(echo "$line" | sed -n 's/.* tests="\([0-9]*\)".*/\1/p')
        f=$(echo "$line" | sed -n 's/.* failures="\([0-9]*\)".*/\1/p')
        e=$(echo "$line" | sed -n 's/.* errors="\([0-9]*\)".*/\1/p')
        s=$(grep -c 'result="skipped"' "$xml" || true)
        passed=$((passed + t - f - e - s))
        failed=$((failed + f + e))
    done
    echo "make test, same programs: $passed passed, $failed failed"
    [ -n "${KEEP_RESULTS:-}" ] && cp -r "$folder/results" "$KEEP_RESULTS"
    return 0
}

. tools/checks.sh
case "${1:-}" in
    pack) pack "${2:-build/win}" ;;
    run) run "${2:-build/windows-tests.zip}" ;;
    *) echo "usage: $0 pack [BUILD] | run [ZIP]" >&2; exit 2 ;;
esac
