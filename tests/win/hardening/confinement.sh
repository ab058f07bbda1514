#!/bin/sh
# Confinement: a whole installation under Wine changes nothing outside the
# user's profile folder and HKEY_CURRENT_USER. The machine-wide registry
# (HKEY_LOCAL_MACHINE and the default user's hive, exported through the
# running wineserver, so that Wine's lazily written hive files do not matter)
# and every file of the prefix outside the profile (path, type, size, time
# and content) are compared before and after. A probe written outside first
# shows that the comparison sees such a change, and its removal that the
# comparison is stable.
#   usage: confinement.sh <windows build folder> <results xml>
# Needs WINEPREFIX and DISPLAY (tools/run-tests.sh sets them).
set -u
build=$1
results=$2
setup="$build/OrbeluneSetup.exe"
driver="$build/tests/e2e_driver.exe"
work=$(mktemp -d)
. "$(dirname "$0")/../../../tools/checks.sh"
same() { cmp -s "$1" "$2" || { diff "$1" "$2" | head -20; false; }; }
differs() { ! cmp -s "$1" "$2"; }

# Physical paths: winepath answers through the prefix's dosdevices links.
profile=$(cd "$(winepath -u "$(w cmd /c echo %USERPROFILE%)" 2>/dev/null)" && pwd -P)
prefix=$(cd "$WINEPREFIX" && pwd -P)
appdata=$(winepath -u "$(w cmd /c echo %APPDATA%)" 2>/dev/null)
programs="$appdata/Microsoft/Windows/Start Menu/Programs"

clean_state() {
    clean_pack_state "$appdata"
}

export_key() {  # export_key KEY OUT: the key as UTF-8 text, without the header line
    wine reg export "$1" "$(winepath -w "$work/export.reg")" /y >/dev/null 2>&1 </dev/null
    iconv -f UTF-16 -t UTF-8 <"$work/export.reg" | tr -d '\r' >"$2"
    rm -f "$work/export.reg"
}

snapshot() {  # snapshot NAME: the machine-wide registry and the files outside the profile
    export_key HKLM "$work/$1.hklm"
    export_key 'HKU\.Default' "$work/$1.default"
    # Left out: the profile; Wine's hive files, which the server rewrites
    # whenever it saves the registry (their content is compared through the
    # exports above); the device links, which Wine makes anew at each start.
    # Folders are listed without their times, which only echo changes that
    # the listing itself shows.
    (cd "$prefix" && find . \( -path "./${profile#$prefix/}" -o -path ./dosdevices -o -name system.reg \
        -o -name user.reg -o -name userdef.reg \) -prune -o \
        \( -type d -printf '%p d\n' \) -o -printf '%p %y %s %T@\n' | sort) >"$work/$1.tree"
    (cd "$prefix" && find . \( -path "./${profile#$prefix/}" -o -path ./dosdevices -o -name system.reg \
        -o -name user.reg -o -name userdef.reg \) -prune -o -type f -print0 | sort -z |
        xargs -0 -r md5sum) >"$work/$1.hashes"
}

compare() {  # compare A B: same machine-wide registry and files
    same "$work/$1.hklm" "$work/$2.hklm" && same "$work/$1.default" "$work/$2.default" &&
        same "$work/$1.tree" "$work/$2.tree" && same "$work/$1.hashes" "$work/$2.hashes"
}

clean_state
# Wine registers its display adapter and monitor under HKEY_LOCAL_MACHINE
# whenever its desktop process starts, and drops them when it ends a few
# seconds after the last window: a payload program's window keeps that
# desktop up from before the first snapshot to after the last.
wine "$build/payload/Vantok.exe" >/dev/null 2>&1 </dev/null &
keeper=$!
sleep 2
export_key HKLM "$work/settle.0"
for i in 1 2 3 4 5 6 7 8 9 10; do
    sleep 1
    export_key HKLM "$work/settle.1"
    cmp -s "$work/settle.0" "$work/settle.1" && break
    mv "$work/settle.1" "$work/settle.0"
done
snapshot before
check snapshot_sees_machine_registry contains "$work/before.hklm" "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion]"
check snapshot_sees_default_user contains "$work/before.default" "[HKEY_USERS\\.Default\\Software"
check snapshot_sees_system_files contains "$work/before.tree" "./drive_c/windows/system32/kernel32.dll"
check snapshot_leaves_profile_out sh -c "! grep -qF -- './${profile#$prefix/}/' '$work/before.tree'"

# The comparison sees a value and a file written outside, and is stable once
# they are gone again.
wine reg add 'HKLM\Software\OrbeluneConfinementProbe' /v Probe /t REG_SZ /d seen /f >/dev/null 2>&1 </dev/null
echo probe >"$prefix/drive_c/orbelune-confinement-probe.txt"
snapshot probe
check comparison_sees_machine_value differs "$work/before.hklm" "$work/probe.hklm"
check comparison_sees_outside_file differs "$work/before.tree" "$work/probe.tree"
wine reg delete 'HKLM\Software\OrbeluneConfinementProbe' /f >/dev/null 2>&1 </dev/null
rm -f "$prefix/drive_c/orbelune-confinement-probe.txt"
snapshot again
check comparison_is_stable compare before again

# A whole installation with everything ticked, through the wizard.
wine "$driver" install "$(winepath -w "$setup")" >"$work/install.out" 2>&1 </dev/null
check install_succeeds contains "$work/install.out" "status: Installation completed successfully."
check install_wrote_profile test -f "$appdata/Orbelune/uninstall.exe" -a -f "$programs/Orbelune/Vantok.lnk"
w reg query 'HKCU\Software\Orbelune' /v AppPath >"$work/apppath"
check install_wrote_hkcu contains "$work/apppath" "AppPath"
snapshot after
check machine_registry_unchanged same "$work/before.hklm" "$work/after.hklm"
check default_user_unchanged same "$work/before.default" "$work/after.default"
check files_outside_profile_unchanged same "$work/before.tree" "$work/after.tree"
check contents_outside_profile_unchanged same "$work/before.hashes" "$work/after.hashes"
wine "$driver" window Vantok >/dev/null 2>&1 </dev/null
wait $keeper
echo "confinement: HKLM $(wc -l <"$work/after.hklm") lines, default user $(wc -l <"$work/after.default") lines," \
     "$(wc -l <"$work/after.tree") paths outside the profile compared"
clean_state

echo "confinement: $passed passed, $failed failed"
write_results confinement "$results"
rm -rf "$work"
[ $failed -eq 0 ]
