# Sourced by the shell-driven test runs (end-to-end, confinement, fuzz,
# reproducibility): counting cases and writing the counts as a results file
# that tools/run-tests.sh adds to its summary. The caller sets $work (a
# scratch folder) before using check.
passed=0
failed=0

# The shipped files of a Windows build folder: the setup program, the payload
# container and the ten programs packed in it.
shipped_programs="OrbeluneSetup.exe payload/Vantok.exe payload/Brindlecap.exe payload/Ostravelind.exe
payload/Zafrin.exe payload/Kestrefond.exe payload/Quillmarsh.exe payload/Cryvane.exe payload/Drumlake.exe
payload/uninstall.exe payload/UninstallAdmin.exe"
shipped="$shipped_programs payload/payload.bin"

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

# clean_pack_state APPDATA: removes the pack's HKCU keys, the keys on the way
# to them (in the test prefix nothing else lives there), and its folders under
# the given (Unix) roaming application-data folder.
clean_pack_state() {
    for k in 'HKCU\Software\Orbelune' 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Orbelune' \
             'HKCU\Software\Classes\Directory\shell\Kestrefond' \
             'HKCU\Software\Classes\SystemFileAssociations\audio\shell\Kestrefond' \
             'HKCU\Software\Classes\.qtxt' 'HKCU\Software\Classes\Quillmarsh.Document' \
             'HKCU\Software\Classes\.cvx' 'HKCU\Software\Classes\Cryvane.File' \
             'HKCU\Software\Classes\.dmk' 'HKCU\Software\Classes\Drumlake.File' \
             'HKCU\Software\Classes\SystemFileAssociations' 'HKCU\Software\Classes\Directory'; do
        wine reg delete "$k" /f >/dev/null 2>&1 </dev/null
    done
    rm -rf "$1/Orbelune" "$1/Microsoft/Windows/Start Menu/Programs/Orbelune"
}
