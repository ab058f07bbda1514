#!/bin/sh
# `make bench`: six figures of the setup program, each against what a user
# would compare it with, one line a figure, in the form
#   N what: measured | reference: ... | ratio ... (goal ...) met / NOT met
# Times are medians of repeated runs; sizes are exact. Nothing here is a
# test: a goal that is not met is reported, not failed. Figures that only
# noise would fail carry no goal, so that a "NOT met" is a fault to look at.
#
# Then the scale run: the same setup program built with payloads that
# decode to the shipped size, about 1 MB, 2.6 MB and just under 4 MiB (tools/bench/
# scale_payload.cpp), one line a size, and the growth per MB.
#
# Environment: BENCH_RUNS (rounds of the start-up figures, default 15),
# BENCH_LOAD_RUNS (load runs, 21), BENCH_LIBLZMA_ROUNDS (rounds of the
# small against the standard liblzma, 9), BENCH_INSTALL_RUNS (5),
# BENCH_SCALE_RUNS (rounds of each scale size, 21), BENCH_SCALE_INSTALL_RUNS
# (3),
# BENCH_NATIVE_DIR and BENCH_WIN_DIR (the build trees, build/native and
# build/win); ORBELUNE_WINEPREFIX as for the tests.
set -u
ORBELUNE_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$ORBELUNE_ROOT/tools/wine-env.sh"
cd "$ORBELUNE_ROOT"

native=${BENCH_NATIVE_DIR:-build/native}
win=${BENCH_WIN_DIR:-build/win}
runs=${BENCH_RUNS:-15}
scale_runs=${BENCH_SCALE_RUNS:-21}
scale_install_runs=${BENCH_SCALE_INSTALL_RUNS:-3}
load_runs=${BENCH_LOAD_RUNS:-21}
liblzma_rounds=${BENCH_LIBLZMA_ROUNDS:-9}
install_runs=${BENCH_INSTALL_RUNS:-5}

tmp=$(mktemp -d)
trap 'wineserver -k 2>/dev/null; stop_xvfb; rm -rf "$tmp"' EXIT
trap 'exit 130' INT TERM

build() {
    cmake --build "$1" --target "$2" >"$tmp/build.log" 2>&1 || { cat "$tmp/build.log"; exit 1; }
}
build "$native" payload_bench
build "$native" scale_payload
build "$win" bench_programs
build "$win" bench_scale_programs
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

# 2, the shipped liblzma: LoadPayloadBytes linked with liblzma's small
# variants (as shipped) against the standard build of the same source, under
# Wine, in rounds of one run of each, the order alternating; the ratio is the
# median of the rounds' ratios. The reference's own load code is compiled as
# the payload programs are (-Os), so that the figure shows the setup's code
# options too. No goal at the shipped size, as for the native figure.
for round in $(seq 1 "$liblzma_rounds"); do
    for v in small standard; do
        [ $((round % 2)) -eq 0 ] && v=$([ $v = small ] && echo standard || echo small)
        wine "$win/bench/bench_load_$v.exe" --container "$(windows_path "$container")" \
            --header "$(windows_path "$win/generated/payload_constants.h")" --runs "$load_runs" \
            2>/dev/null </dev/null | tr -d '\r' | sed -n "s/^load-ns /$v /p"
    done
done >"$tmp/liblzma.out"
awk -v rounds="$liblzma_rounds" -v runs="$load_runs" '
    function median(a, n,   i, j, t) {
        for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
        return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    $1 == "small" { small[++ns] = $2 } $1 == "standard" { standard[++nd] = $2 }
    END {
        if (ns != rounds || nd != rounds) { print "2 liblzma: bench_load failed" > "/dev/stderr"; exit 1 }
        for (i = 1; i <= rounds; i++) r[i] = small[i] / standard[i]
        ratio = median(r, rounds)
        printf "2 payload load under Wine with the shipped liblzma (small variants, median of %d rounds of %d runs): " \
               "LoadPayloadBytes %.3f ms | reference: the same with the standard build of liblzma %.3f ms | ratio " \
               "(median of the rounds\047 ratios) %.3f\n", rounds, runs, median(small, rounds) / 1e6,
               median(standard, rounds) / 1e6, ratio
    }' "$tmp/liblzma.out" || exit 1

# 3 and 6: start-up time and memory, measured in the same rounds
measure start "$(windows_path "$setup")" "$(windows_path "$win/bench/OrbeluneBenchReference.exe")" \
    "$(windows_path "$win/bench/OrbeluneBenchWithoutPayload.exe")" "$runs" "$load_ns" >"$tmp/start.out"
grep '^3 ' "$tmp/start.out"

# 4: install time
measure install "$(windows_path "$setup")" "$install_runs"

# 5: payload size against xz on the same archive; the container is the
# 5-byte properties header and the raw stream, so 5 bytes go to xz's stream.
# Against xz's default lc, lp and pb it is a figure without a goal: LZMA1's
# best search reaches about 0.993 of it.
size=$(wc -c <"$container")
same=$(($(xz --format=raw --lzma1=preset=9e,lc=$lc,lp=$lp,pb=$pb,dict=$dict -c "$tmp/archive.bin" | wc -c) + 5))
usual=$(($(xz --format=raw --lzma1=preset=9e,lc=3,lp=0,pb=2,dict=$dict -c "$tmp/archive.bin" | wc -c) + 5))
awk -v size="$size" -v same="$same" -v usual="$usual" -v lc="$lc" -v lp="$lp" -v pb="$pb" -v dict="$dict" 'BEGIN {
    r1 = size / same; r2 = size / usual
    printf "5 payload size: container %d bytes (lc %d, lp %d, pb %d, dictionary %d) | reference: xz --format=raw " \
           "--lzma1=preset=9e of the same archive, plus the 5-byte header: %d bytes with the same lc, lp, pb and " \
           "dictionary, %d bytes with the default lc 3, lp 0, pb 2 | ratio %.4f (goal <= 1.0000) %s; %.4f\n",
           size, lc, lp, pb, dict, same, usual, r1, (r1 <= 1 ? "met" : "NOT met"), r2
}'

grep '^6 ' "$tmp/start.out"

# The scale run. Per size: load, LoadPayloadBytes against the bare decode
# into a fresh block (native; goal from 1 MB up, where decoding is a visible
# share of the first window); window, the extra time to the first window
# over the same setup without its payload step, against the native
# LoadPayloadBytes time (no goal: the growth per MB below holds it); memory,
# the extra peak working set over that setup (goal: at most the decoded
# size + 1 MiB); install, against nine ticks.
: >"$tmp/scale.out"
for dir in "$win"/bench/scale-*; do
    decoded=$(sed -n 's/.*PayloadArchiveSize = \([0-9]*\)u.*/\1/p' "$dir/payload_constants.h")
    "$native/tools/bench/payload_bench" --container "$dir/payload.bin" --header "$dir/payload_constants.h" \
        --runs "$load_runs" >"$tmp/native.out" || exit 1
    load_ns=$(sed -n 's/^load-ns //p' "$tmp/native.out")
    bare_ns=$(sed -n 's/^bare-ns //p' "$tmp/native.out")
    load_ratio=$(sed -n 's/^load-ratio //p' "$tmp/native.out")
    measure_scale() {
        wine "$win/bench/bench_measure.exe" scale "$(windows_path "$dir/OrbeluneSetup.exe")" \
            "$(windows_path "$dir/OrbeluneBenchWithoutPayload.exe")" "$scale_runs" "$scale_install_runs" \
            >"$tmp/wine.out" 2>&1 </dev/null
    }
    measure_scale || { tr -d '\r' <"$tmp/wine.out" >&2; echo "bench: scale $decoded failed" >&2; exit 1; }
    figures=$(tr -d '\r' <"$tmp/wine.out" | sed -n 's/^scale-figures //p')
    echo "$decoded $load_ns $bare_ns $load_ratio $figures" >>"$tmp/scale.out"
done
sort -n "$tmp/scale.out" | awk '
    function verdict(ok) { return ok ? "met" : "NOT met" }
    {
        mb = $1 / 1e6; load = $2 / 1e6; bare = $3 / 1e6; lr = $4; window = $5; memory = $6; install = $7
        wr = window / load; mr = memory - $1 / 1048576; ir = install / 1125
        load_goal = $1 >= 1000000 ? "goal <= 1.05 " verdict(lr <= 1.05) : "no goal below 1 MB"
        printf "scale %.2f: load %.3f | window %.2f | memory +%.2f MiB | install %.3f   (decoded %d bytes; " \
               "LoadPayloadBytes %.2f ms, bare decode %.2f ms, %s; extra to first window %.1f ms; " \
               "memory goal <= decoded + 1 MiB = %.2f MiB %s; install %.1f ms, goal <= 1.20 %s)\n",
               mb, lr, wr, memory, ir, $1, load, bare, load_goal, window,
               $1 / 1048576 + 1, verdict(mr <= 1), install, verdict(ir <= 1.2)
        n++; sx += mb; sy += load; sw += window; sxx += mb * mb; sxy += mb * load; sxw += mb * window
    }
    END {
        d = n * sxx - sx * sx
        if (n > 1 && d > 0) {
            gl = (n * sxy - sx * sy) / d; gw = (n * sxw - sx * sw) / d
            printf "scale growth per MB (least squares over the %d sizes): load %.2f ms/MB native, window %.2f ms/MB " \
                   "under Wine\n", n, gl, gw
            printf "scale window growth: extra time to the first window %.2f ms per MB of payload | reference: native " \
                   "LoadPayloadBytes %.2f ms per MB | ratio %.3f (goal <= 1.20) %s\n", gw, gl, gw / gl, verdict(gw / gl <= 1.2)
        }
    }'
