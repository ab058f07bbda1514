#!/bin/sh
# Builds and runs the libFuzzer targets (loader_fuzzer, list_fuzzer).
#
#   fuzz.sh run SECONDS            fuzz each target for SECONDS (make fuzz)
#   fuzz.sh test SECONDS XML       replay the committed corpus, then fuzz each
#                                  target for SECONDS; write a gtest-style
#                                  summary to XML (make test)
#
# The committed corpus (tests/fuzz/corpus/<target>/) holds the seeds and every
# input that ever made a target fail; a new finding is saved under
# build/fuzz/artifacts/ and belongs in that folder once fixed. The loader is
# also seeded with the real container of the Windows build (PAYLOAD_BIN,
# default build/win/payload/payload.bin) and damaged copies of it.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
mode=${1:-run}
seconds=${2:-60}
xml=${3:-}
tree="$root/build/fuzz"
payload_bin=${PAYLOAD_BIN:-$root/build/win/payload/payload.bin}
targets="loader list"

CC=clang CXX=clang++ cmake -S "$root/tests/fuzz" -B "$tree" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
cmake --build "$tree" -j2 >"$tree/build.log" 2>&1 || { cat "$tree/build.log"; exit 1; }

work="$tree/work"
artifacts="$tree/artifacts"
rm -rf "$work"
mkdir -p "$artifacts"

# Header of the loader's input: three u32 constants, all "derived".
derived_header() { printf '\377\377\377\377\377\377\377\377\377\377\377\377'; }

for t in $targets; do
    mkdir -p "$work/$t"
    cp "$root/tests/fuzz/corpus/$t/"* "$work/$t/"
done
cp "$root/components/payload.list" "$work/list/current-payload-list"
if [ -f "$payload_bin" ]; then
    size=$(wc -c <"$payload_bin")
    { derived_header; cat "$payload_bin"; } >"$work/loader/real-container"
    { derived_header; head -c $((size - 1)) "$payload_bin"; } >"$work/loader/real-container-last-byte-cut"
    { derived_header; head -c $((size / 2)) "$payload_bin"; } >"$work/loader/real-container-half"
    { derived_header; printf '\341'; tail -c +2 "$payload_bin"; } >"$work/loader/real-container-properties-225"
    # one byte of the stream changed, half-way through
    { derived_header; head -c $((size / 2)) "$payload_bin"; printf '\125';
      tail -c +$((size / 2 + 2)) "$payload_bin"; } >"$work/loader/real-container-byte-changed"
else
    echo "fuzz: no $payload_bin; the loader runs on the committed seeds only"
fi

. "$root/tools/checks.sh"
passed=0
failed=0
report=""
record() {  # record NAME RC LOG
    if [ "$2" -eq 0 ]; then
        passed=$((passed + 1))
        echo "[  OK  ] fuzz.$1"
    else
        failed=$((failed + 1))
        echo "[ FAIL ] fuzz.$1"
        grep -E 'ERROR|SUMMARY|_fuzzer:|runtime error|Test unit written' "$3" | head -20 | sed 's/^/    /'
    fi
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

for t in $targets; do
    exe="$tree/${t}_fuzzer"
    if [ "$mode" = test ]; then
        # Every committed input once: the seeds and the regressions.
        "$exe" -runs=0 "$root/tests/fuzz/corpus/$t" >"$tree/$t-replay.log" 2>&1
        record "$t.replay" $? "$tree/$t-replay.log"
    fi
    "$exe" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts/$t-" "$work/$t" >"$tree/$t-fuzz.log" 2>&1
    rc=$?
    record "$t.fuzz" $rc "$tree/$t-fuzz.log"
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$tree/$t-fuzz.log")
    line="fuzz: ${t}_fuzzer: ${runs:-?} executions in ${seconds} s, corpus $(ls "$work/$t" | wc -l) inputs"
    echo "$line"
    report="$report$line
"
done
printf "%s" "$report" >"$tree/last-run.txt"

if [ -n "$xml" ]; then
    write_results fuzz "$xml"
fi
echo "fuzz: $passed passed, $failed failed"
[ $failed -eq 0 ]
