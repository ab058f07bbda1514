# Sourced by the shell-driven test runs (end-to-end, confinement, fuzz,
# reproducibility): counting cases and writing the counts as a results file
# that tools/run-tests.sh adds to its summary. The caller sets $work (a
# scratch folder) before using check.
passed=0
failed=0

# check CASE COMMAND...: runs one case; its output is shown only on failure.
check() {
    case_name=$1
    shift
    if "$@" >"$work/log" 2>&1; then
        passed=$((passed + 1))
        echo "[  OK  ] $case_name"
    else
        failed=$((failed + 1))
        printf "[ FAIL ] %s: %s\n" "$case_name" "$*"
        tail -5 "$work/log" | sed 's/^/    /'
    fi
}

contains() { grep -qF -- "$2" "$1"; }

# Wine's output without carriage returns, with no input.
w() { wine "$@" 2>/dev/null </dev/null | tr -d '\r'; }

# write_results NAME FILE: the counts in the form GoogleTest writes them.
write_results() {
    cat >"$2" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<testsuites tests="$((passed + failed))" failures="$failed" disabled="0" errors="0" name="$1">
</testsuites>
XML
}
