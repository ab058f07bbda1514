#!/bin/sh
# `make bench`: six figures of the setup program, each against what a user
# would compare it with, one line a figure, in the form
#   N what: measured | reference: ... | ratio ... (goal ...) met / NOT met
# Times are medians of repeated runs; sizes are exact. Nothing here is a
# test: a goal that is not met is reported, not failed.
#
# Environment: BENCH_RUNS (rounds of the start-up figures, default 15),
# BENCH_LOAD_RUNS (native load runs, 21), BENCH_INSTALL_RUNS (5),
# BENCH_NATIVE_DIR and BENCH_WIN_DIR (the build trees, build/native and
# build/win); ORBELUNE_WINEPREFIX as for the tests.
set -u
ORBELUNE_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$ORBELUNE_ROOT/tools/wine-env.sh"
cd "$ORBELUNE_ROOT"

native=${BENCH_NATIVE_DIR:-build/native}
win=${BENCH_WIN_DIR:-build/win}
runs=${BENCH_RUNS:-15}
load_runs=${BENCH_LOAD_RUNS:-21}
install_runs=${BENCH_INSTALL_RUNS:-5}

tmp=$(mktemp -d)
trap 'wineserver -k 2>/dev/null; stop_xvfb; rm -rf "$tmp"' EXIT
trap 'exit 130' INT TERM

build() {
    cmake --build "$1" --target "$2" >"$tmp/build.log" 2>&1 || { cat "$tmp/build.log"; exit 1; }
}
build "$native" payload_bench
build "$win" bench_programs
command -v xz >/dev/null || { echo "bench: xz (xz-utils) is needed for figure 5" >&2; exit 1; }

container="$win/payload/payload.bin"
setup="$win/OrbeluneSetup.exe"

# A path as the Windows programs see it (drive Z: is the root).
windows_path() {
    echo "Z:$(cd "$(dirname "$1")" && pwd)/$(basename "$1")" | tr / '\\'
}

# Runs the measuring program under Wine and prints its figure lines. Wine's
# helper processes outlive it and keep inherited handles open, so the output
# goes through a file.
measure() {
    wine "$win/bench/bench_measure.exe" "$@" >"$tmp/wine.out" 2>&1 </dev/null
    rc=$?
    tr -d '\r' <"$tmp/wine.out" | grep '^[0-9] '
    [ $rc -eq 0 ] || { tr -d '\r' <"$tmp/wine.out" | grep -v '^[0-9] ' >&2; echo "bench: bench_measure $1 failed" >&2; }
    return $rc
}

start_xvfb || exit 1
init_wine_prefix
wineserver -p 60

# 1: the stub
measure stub "$(windows_path "$setup")"

# 2: native load time; it also decodes the archive for figure 5
"$native/tools/bench/payload_bench" --container "$container" --header "$win/generated/payload_constants.h" \
    --runs "$load_runs" --archive "$tmp/archive.bin" >"$tmp/native.out" || exit 1
grep '^2 ' "$tmp/native.out"
load_ns=$(sed -n 's/^load-ns //p' "$tmp/native.out")
eval "$(sed -n 's/^properties //p' "$tmp/native.out")"  # lc, lp, pb, dict

# 3 and 6: start-up time and memory, measured in the same rounds
measure start "$(windows_path "$setup")" "$(windows_path "$win/bench/OrbeluneBenchReference.exe")" \
    "$(windows_path "$win/bench/OrbeluneBenchWithoutPayload.exe")" "$runs" "$load_ns" >"$tmp/start.out"
grep '^3 ' "$tmp/start.out"

# 4: install time
measure install "$(windows_path "$setup")" "$install_runs"

# 5: payload size against xz on the same archive; the container is the
# 5-byte properties header and the raw stream, so 5 bytes go to xz's stream.
size=$(wc -c <"$container")
same=$(($(xz --format=raw --lzma1=preset=9e,lc=$lc,lp=$lp,pb=$pb,dict=$dict -c "$tmp/archive.bin" | wc -c) + 5))
usual=$(($(xz --format=raw --lzma1=preset=9e,lc=3,lp=0,pb=2,dict=$dict -c "$tmp/archive.bin" | wc -c) + 5))
awk -v size="$size" -v same="$same" -v usual="$usual" -v lc="$lc" -v lp="$lp" -v pb="$pb" -v dict="$dict" 'BEGIN {
    r1 = size / same; r2 = size / usual
    printf "5 payload size: container %d bytes (lc %d, lp %d, pb %d, dictionary %d) | reference: xz --format=raw " \
           "--lzma1=preset=9e of the same archive, plus the 5-byte header: %d bytes with the same lc, lp, pb and " \
           "dictionary, %d bytes with the default lc 3, lp 0, pb 2 | ratio %.4f (goal <= 1.0000) %s; %.4f " \
           "(goal <= 0.9800) %s\n", size, lc, lp, pb, dict, same, usual, r1, (r1 <= 1 ? "met" : "NOT met"), r2,
           (r2 <= 0.98 ? "met" : "NOT met")
}'

grep '^6 ' "$tmp/start.out"
