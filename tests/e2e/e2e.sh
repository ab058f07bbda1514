#!/bin/sh
# End-to-end runs under Wine: the wizard driven through whole installations
# by our UI driver, and the result checked with programs nobody here wrote:
# Wine's reg, uninstaller and program start-up, and lnkinfo.
#   usage: e2e.sh <windows build folder> <results xml>
# Needs WINEPREFIX and DISPLAY (tools/run-tests.sh sets them).
set -u
build=$1
results=$2
setup="$build/OrbeluneSetup.exe"
driver="$build/tests/e2e_driver.exe"
work=$(mktemp -d)
. "$(dirname "$0")/../../tools/checks.sh"

appdata_win=$(w cmd /c echo %APPDATA%)
appdata=$(winepath -u "$appdata_win" 2>/dev/null)
programs="$appdata/Microsoft/Windows/Start Menu/Programs"
userdir=$(dirname "$(dirname "$appdata")")
temp_win=$(w cmd /c echo %TEMP%)
temp=$(winepath -u "$temp_win" 2>/dev/null)
install="$appdata/Orbelune"

clean_state() {
    clean_pack_state "$appdata"
    rm -rf "$appdata/AAA Picked by Browse"
}

snapshot() {  # snapshot NAME: HKCU and the user's files (the temp folder aside)
    wine reg export HKCU "$(winepath -w "$work/$1.reg")" /y >/dev/null 2>&1 </dev/null
    iconv -f UTF-16 -t UTF-8 <"$work/$1.reg" | tr -d '\r' >"$work/$1.hkcu"
    (cd "$userdir" && find . -path "./${temp#$userdir/}" -prune -o -print | sort) >"$work/$1.files"
}


clean_state
snapshot before

# 1. Cancel on the first page: exit 0, nothing written.
wine "$driver" cancel "$(winepath -w "$setup")" >"$work/cancel.out" 2>&1 </dev/null
check cancel_exits_0 contains "$work/cancel.out" "exit: 0"
check cancel_writes_nothing test ! -e "$install"

# 2. A whole installation with everything ticked.
wine "$driver" install "$(winepath -w "$setup")" >"$work/install.out" 2>&1 </dev/null
cat "$work/install.out"
check install_succeeds contains "$work/install.out" "status: Installation completed successfully."
check install_exits_0 contains "$work/install.out" "exit: 0"
check install_lists_uninstaller contains "$work/install.out" "uninstall.exe"
for name in Vantok Brindlecap Ostravelind Zafrin Kestrefond Quillmarsh Cryvane Drumlake; do
    check "file_$name" cmp "$install/$name.exe" "$build/payload/$name.exe"
    lnkinfo "$programs/Orbelune/$name.lnk" >"$work/$name.lnk.txt" 2>&1
    check "lnkinfo_$name" contains "$work/$name.lnk.txt" "Local path			: $appdata_win\\Orbelune\\$name.exe"
done
check file_uninstall cmp "$install/uninstall.exe" "$build/payload/uninstall.exe"
# From a signed release the installed programs carry their signatures, which
# osslsigncode accepts as they lie in the install folder.
root_cert="$build/tests/signing-root.pem"
if [ -f "$root_cert" ]; then
    check installed_uninstaller_signed osslsigncode verify -CAfile "$root_cert" -in "$install/uninstall.exe"
    check installed_program_signed osslsigncode verify -CAfile "$root_cert" -in "$install/Drumlake.exe"
fi

# The comparison at the end sees what an installation adds.
snapshot installed
check snapshot_sees_registry contains "$work/before.hkcu" "[HKEY_CURRENT_USER\\Software"
check snapshot_sees_installation contains "$work/installed.hkcu" "Orbelune App Pack (Single User)"
check snapshot_sees_files contains "$work/installed.files" "Orbelune/Vantok.exe"

# Wine's reg reads back every key that setup wrote.
w reg query 'HKCU\Software\Orbelune' /v AppPath >"$work/q1"
check reg_apppath contains "$work/q1" "AppPath    REG_SZ    $appdata_win\\Orbelune\\"
w reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Orbelune' >"$work/q2"
check reg_uninstall_name contains "$work/q2" "DisplayName    REG_SZ    Orbelune App Pack (Single User)"
check reg_uninstall_string contains "$work/q2" "UninstallString    REG_SZ    \"$appdata_win\\Orbelune\\uninstall.exe\""
check reg_uninstall_version contains "$work/q2" "DisplayVersion    REG_SZ    2610"
check reg_uninstall_norepair contains "$work/q2" "NoRepair    REG_DWORD    0x1"
w reg query 'HKCU\Software\Classes\.qtxt' /ve >"$work/q3"
check reg_qtxt contains "$work/q3" "REG_SZ    Quillmarsh.Document"
w reg query 'HKCU\Software\Classes\Quillmarsh.Document\shell\open\command' /ve >"$work/q4"
check reg_qtxt_command contains "$work/q4" "\"$appdata_win\\Orbelune\\Quillmarsh.exe\" \"%1\""
w reg query 'HKCU\Software\Classes\Cryvane.File' /s >"$work/q5"
check reg_cvx_type contains "$work/q5" "CVX Encrypted File"
w reg query 'HKCU\Software\Classes\Drumlake.File\DefaultIcon' /ve >"$work/q6"
check reg_dmk_icon contains "$work/q6" "$appdata_win\\Orbelune\\Drumlake.exe,0"
w reg query 'HKCU\Software\Classes\SystemFileAssociations\audio\shell\Kestrefond' /ve >"$work/q7"
check reg_audio_verb contains "$work/q7" "Play with Kestrefond"

# Wine's list of installed programs shows the pack.
w uninstaller --list >"$work/list"
check uninstaller_lists_pack contains "$work/list" "Orbelune App Pack (Single User)"

# Opening a .qtxt file the way the shell does: extension, type name, its
# open command with %1 replaced, all from the per-user classes.
doc_win='C:\users\Public\Documents\notes.qtxt'
doc=$(winepath -u "$doc_win" 2>/dev/null)
mkdir -p "$(dirname "$doc")" && echo "hello" >"$doc"
type=$(w reg query 'HKCU\Software\Classes\.qtxt' /ve | sed -n 's/.*REG_SZ    //p')
command=$(w reg query "HKCU\\Software\\Classes\\$type\\shell\\open\\command" /ve | sed -n 's/.*REG_SZ    //p')
exe=$(printf "%s\n" "$command" | sed -n 's/^"\([^"]*\)".*/\1/p')
wine "$exe" "$doc_win" >/dev/null 2>&1 &
wine "$driver" window Quillmarsh >"$work/open.out" 2>&1 </dev/null
check open_qtxt_reaches_quillmarsh contains "$work/open.out" "Opened: $doc_win"
folder_command=$(w reg query 'HKCU\Software\Classes\Directory\shell\Kestrefond\command' /ve | sed -n 's/.*REG_SZ    //p')
exe=$(printf "%s\n" "$folder_command" | sed -n 's/^"\([^"]*\)".*/\1/p')
wine "$exe" 'C:\users\Public' >/dev/null 2>&1 &
wine "$driver" window Kestrefond >"$work/verb.out" 2>&1 </dev/null
check folder_verb_reaches_kestrefond contains "$work/verb.out" 'Opened: C:\users\Public'
rm -f "$doc"

# 3. A second installation over the first, with no mouse: keystrokes only
# (Tab, Shift+Tab, Space, Enter, Alt mnemonics). It offers and uses the
# recorded folder; Zafrin, unticked with Space, is not written again.
rm -f "$install/Zafrin.exe"
wine "$driver" keyboard "$(winepath -w "$setup")" >"$work/again.out" 2>&1 </dev/null
cat "$work/again.out" | grep -vE '^detail'
check keyboard_tab_reaches_cancel contains "$work/again.out" "tab: 2"
check keyboard_shift_tab_goes_back contains "$work/again.out" "shift-tab: 1009"
check keyboard_space_unticks contains "$work/again.out" "zafrin after space: unticked"
check keyboard_alt_b_keeps_selection contains "$work/again.out" "back: zafrin unticked"
check reinstall_succeeds contains "$work/again.out" "status: Installation completed successfully."
check reinstall_same_folder contains "$work/again.out" "folder: $appdata_win\\Orbelune\\"
check keyboard_alt_c_closes contains "$work/again.out" "exit: 0"
check keyboard_skips_unticked test ! -e "$install/Zafrin.exe"
check keyboard_installs_ticked contains "$work/again.out" "detail: $appdata_win\\Orbelune\\Drumlake.exe"

# A program of the pack still running: the uninstaller says what is left,
# keeps the uninstall entry so that the user can try again, and fails.
wine "$install/Vantok.exe" >/dev/null 2>&1 </dev/null &
sleep 2
wine "$install/uninstall.exe" /S >/dev/null 2>&1 </dev/null
busy_code=$?
check uninstall_with_running_program_fails test "$busy_code" -ne 0
check running_program_kept test -f "$install/Vantok.exe"
w reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Orbelune' /v UninstallString >"$work/q8"
check uninstall_entry_kept_after_failure contains "$work/q8" "uninstall.exe"
check uninstaller_kept_after_failure test -f "$install/uninstall.exe"
wine "$driver" window Vantok >/dev/null 2>&1 </dev/null
sleep 1

# 4. Removal through Wine's own uninstaller, which runs "UninstallString";
# a file of the user's in the install folder survives.
echo "mine" >"$install/my notes.txt"
timeout 120 wine uninstaller --remove Orbelune >/dev/null 2>&1 </dev/null &
remover=$!
wine "$driver" answer "Orbelune App Pack (Single User) Uninstall" 6 >"$work/answer1.out" 2>&1 </dev/null
wine "$driver" answer "Orbelune App Pack (Single User) Uninstall" 1 >"$work/answer2.out" 2>&1 </dev/null
wait $remover
sleep 2  # the temp copy deletes the uninstaller once it has exited
check uninstall_asked contains "$work/answer1.out" "Do you want to remove"
check uninstall_reported contains "$work/answer2.out" "was removed from your computer"
check user_file_survives test -f "$install/my notes.txt"
check programs_removed test ! -e "$install/Vantok.exe"
check uninstaller_removed test ! -e "$install/uninstall.exe"
rm -f "$install/my notes.txt"
rmdir "$install" 2>/dev/null
snapshot after
diff "$work/before.hkcu" "$work/after.hkcu" >"$work/hkcu.diff"
grep -E '^[<>]' "$work/hkcu.diff" | grep -iE 'orbelune|kestrefond|quillmarsh|cryvane|drumlake|qtxt|\.cvx|\.dmk' >"$work/hkcu.left"
check registry_clean_after_removal test ! -s "$work/hkcu.left"
diff "$work/before.files" "$work/after.files" >"$work/files.diff"
grep -E '^[<>]' "$work/files.diff" | grep -iE 'orbelune|\.lnk|notes' >"$work/files.left"
check files_clean_after_removal test ! -s "$work/files.left"
echo "HKCU lines changed: $(grep -cE '^[<>]' "$work/hkcu.diff"), user files changed: $(grep -cE '^[<>]' "$work/files.diff")"
grep -E "^[<>]" "$work/hkcu.diff" | head -20
cat "$work/hkcu.left" "$work/files.left"

# 5. An installation into a folder chosen with Browse.
mkdir -p "$appdata/AAA Picked by Browse"
wine "$driver" install "$(winepath -w "$setup")" --browse-first-child >"$work/browse.out" 2>&1 </dev/null
cat "$work/browse.out" | grep -E 'folder|status'
check browse_install_succeeds contains "$work/browse.out" "status: Installation completed successfully."
check browse_install_into_picked test -f "$appdata/AAA Picked by Browse/Vantok.exe"
clean_state

echo "e2e: $passed passed, $failed failed"
write_results e2e "$results"
rm -rf "$work"
[ $failed -eq 0 ]
