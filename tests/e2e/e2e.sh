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

# Whatever ends the run: cmd.exe back, the disk-full runs' tmpfs and drive gone.
system32="$WINEPREFIX/drive_c/windows/system32"
finish() {
    [ -e "$system32/cmd.exe.hidden" ] && mv "$system32/cmd.exe.hidden" "$system32/cmd.exe"
    rm -f "$WINEPREFIX/dosdevices/q:"
    mountpoint -q "$work/disk" && { umount "$work/disk" || umount -l "$work/disk"; }
    rm -rf "$work"
}
trap finish EXIT
trap 'exit 1' INT TERM

appdata_win=$(w cmd /c echo %APPDATA%)
appdata=$(winepath -u "$appdata_win" 2>/dev/null)
programs="$appdata/Microsoft/Windows/Start Menu/Programs"
userdir=$(dirname "$(dirname "$appdata")")
temp_win=$(w cmd /c echo %TEMP%)
temp=$(winepath -u "$temp_win" 2>/dev/null)
install="$appdata/Orbelune"

clean_state() {
    clean_pack_state "$appdata"
    rm -rf "$appdata"/AAA\ * "$temp"/Orbelune-uninstall-*  # the latter from earlier uninstallers
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

# 2. A whole installation with everything ticked, traced: each temporary
# file is flushed (fsync, in the setup process), no final name is, before
# its rename (done by Wine's server, started anew under the trace for it).
setup_win=$(winepath -w "$setup")
wineserver -k
strace -f -y -qq -o "$work/trace" -e trace=fsync,fdatasync,rename,renameat,renameat2 \
    wine "$driver" install "$setup_win" >"$work/install.out" 2>&1 </dev/null
cat "$work/install.out"
grep -E 'Orbelune/[^/">]*\.ex[e~][">].* = 0' "$work/trace" | awk '
    /fsync|fdatasync/ { n = $0; sub(/>.*/, "", n); sub(/.*\//, "", n); flushed[n] = 1; f++; names = names " " n
                        if (n ~ /exe$/) bad++ }
    /rename/ { split($0, q, "\""); sub(/.*\//, "", q[2]); sub(/.*\//, "", q[4]); r++
               if (!flushed[q[2]] || length(q[2]) > length(q[4]) || q[2] == q[4]) bad++ }
    END { printf "trace: %d flushes:%s; %d renames; %d out of order\n", f, names, r, bad }' >"$work/trace.sum"
cat "$work/trace.sum"
check install_flushes_each_temporary_file_before_its_rename contains "$work/trace.sum" "trace: 9 flushes: Vantok.ex~ \
Brindlecap.ex~ Ostravelind.ex~ Zafrin.ex~ Kestrefond.ex~ Quillmarsh.ex~ Cryvane.ex~ Drumlake.ex~ uninstall.ex~; 9 renames; 0 out of order"
check install_succeeds contains "$work/install.out" "status: Installation completed successfully."
check install_exits_0 contains "$work/install.out" "exit: 0"
check install_per_monitor_aware contains "$work/install.out" "dpi awareness: 2"
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
# (Wine 10's uninstaller writes its list to standard error, Wine 8's to
# standard output.)
wine uninstaller --list </dev/null 2>&1 | tr -d '\r' >"$work/list"
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
# recorded folder; Zafrin, unticked with Space, is not written again. An
# earlier Drumlake.exe, marked read-only (as a backup or a sync tool leaves a
# file), is replaced all the same. (Windows replaces no read-only file; Wine,
# run as root here, writes and renames over one, so that this shows the
# outcome only: the install tests' extraction case shows it on Windows.)
rm -f "$install/Zafrin.exe"
echo "earlier Drumlake" >"$install/Drumlake.exe"
chmod a-w "$install/Drumlake.exe"
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
check reinstall_replaces_read_only_program cmp "$install/Drumlake.exe" "$build/payload/Drumlake.exe"

# An earlier program still running while setup installs over it (here
# Brindlecap's program under Vantok's name, so that the new one shows):
# setup sets the running file aside and writes the new one, and the program
# goes on. While it runs, the uninstaller says what is left, keeps the
# uninstall entry so that the user can try again, and fails. A program and a
# link of the pack marked read-only are no reason to stay: they are gone
# after the removal below, and so is the program set aside.
cp "$install/Brindlecap.exe" "$install/Vantok.exe"
wine "$install/Vantok.exe" >/dev/null 2>&1 </dev/null &
sleep 2
wine "$driver" install "$setup_win" >"$work/running.out" 2>&1 </dev/null
check upgrade_over_running_program_succeeds contains "$work/running.out" "status: Installation completed successfully."
check upgrade_over_running_program_replaces_it cmp "$install/Vantok.exe" "$build/payload/Vantok.exe"
chmod a-w "$install/Cryvane.exe" "$programs/Orbelune/Cryvane.lnk"
wine "$install/uninstall.exe" /S >/dev/null 2>&1 </dev/null
busy_code=$?
check uninstall_with_running_program_fails test "$busy_code" -ne 0
check running_program_kept_set_aside test -f "$install/Vantok.e~~"
w reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Orbelune' /v UninstallString >"$work/q8"
check uninstall_entry_kept_after_failure contains "$work/q8" "uninstall.exe"
check uninstaller_kept_after_failure test -f "$install/uninstall.exe"
wine "$driver" window Brindlecap >"$work/earlier.out" 2>&1 </dev/null
check set_aside_program_ran_on contains "$work/earlier.out" "No file opened."
sleep 1

# Another process holds an earlier Vantok.exe open for 800 ms from the
# moment "Install" is pressed, as a scanner does: setup tries it again at
# its next ticks and replaces it, listing it once. (The failed removal
# above took the other programs; the first run puts them back.)
wine "$driver" install "$setup_win" >/dev/null 2>&1 </dev/null
cp "$install/Brindlecap.exe" "$install/Vantok.exe"
wine "$driver" install "$setup_win" --hold Vantok.exe 800 >"$work/held.out" 2>&1 </dev/null
grep -q "status: Installation completed successfully." "$work/held.out" || cat "$work/held.out"
check held_file_install_succeeds contains "$work/held.out" "status: Installation completed successfully."
check held_file_replaced cmp "$install/Vantok.exe" "$build/payload/Vantok.exe"
check held_file_listed_once test "$(grep -c 'detail: .*Orbelune.Vantok\.exe' "$work/held.out")" -eq 1

# 4. Removal through Wine's own uninstaller, which runs "UninstallString".
# (E2E_MESSAGE_HOLD shortens the wait where the same sources were already
# run with it, as for the signed release.)
hold=${E2E_MESSAGE_HOLD:-65}
# The user leaves the final message open for longer than a minute: the
# uninstaller and its folder still go once it is closed, and nothing is left
# in the temp folder.
timeout 180 wine uninstaller --remove Orbelune >/dev/null 2>&1 </dev/null &
remover=$!
wine "$driver" answer "Orbelune App Pack (Single User) Uninstall" 6 >"$work/answer1.out" 2>&1 </dev/null
wine "$driver" answer "Orbelune App Pack (Single User) Uninstall" 1 "$hold" >"$work/answer2.out" 2>&1 </dev/null &
holder=$!
# Meanwhile: a "/cleanup HANDLE PATH" command line, which an earlier
# uninstaller obeyed by deleting PATH, is refused and deletes nothing.
mkdir -p "$work/probe" && cp "$install/uninstall.exe" "$work/probe/" && echo "keep" >"$work/probe/victim.txt"
wine "$work/probe/uninstall.exe" /cleanup 0 "$(winepath -w "$work/probe/victim.txt")" >/dev/null 2>&1 </dev/null
check cleanup_argument_refused test $? -ne 0
check cleanup_argument_deletes_nothing test -f "$work/probe/victim.txt"
wait $holder
wait $remover
temp_clean() {  # no uninstaller copy, nor a folder of one, in the user's temp folder
    find "$temp" -iname 'orbelune-uninstall*' -o -name uninstall.exe >"$work/temp.left"
    cat "$work/temp.left"
    test ! -s "$work/temp.left"
}
gone() {  # gone PATH...: waits up to 10 s for the helper to remove them
    for path; do
        i=0
        while [ -e "$path" ] && [ $i -lt 50 ]; do sleep 0.2; i=$((i + 1)); done
        test ! -e "$path" || return 1
    done
}
check uninstall_asked contains "$work/answer1.out" "Do you want to remove"
check uninstall_reported_after_long_message contains "$work/answer2.out" "was removed from your computer"
check programs_removed test ! -e "$install/Vantok.exe"
check read_only_program_removed test ! -e "$install/Cryvane.exe"
check read_only_link_removed test ! -e "$programs/Orbelune/Cryvane.lnk"
check uninstaller_removed_after_long_message gone "$install/uninstall.exe" "$install/uninstall.e~~"
check install_folder_removed_after_long_message gone "$install"
check nothing_left_in_temp temp_clean
for k in 'SystemFileAssociations\audio\shell' 'SystemFileAssociations\audio' 'SystemFileAssociations' \
         'Directory\shell' 'Directory'; do
    check "empty_key_removed_$(printf '%s' "$k" | tr -c 'a-zA-Z' _)" \
        sh -c "! wine reg query 'HKCU\\Software\\Classes\\$k' >/dev/null 2>&1 </dev/null"
done

# Installing again at once after a removal, into a folder that keeps a file
# of the user's: the removal's helper then goes on trying to remove that
# folder for all of its rounds. One run removes with /S and installs at once
# into the default folder; the other removes "AAA Quick" interactively and
# installs into it while the final message is still open. Once every helper
# has ended, both new uninstallers are still there and remove their pack.
quick="$appdata/AAA Quick"
wine "$driver" install "$setup_win" >/dev/null 2>&1 </dev/null
echo "mine" >"$install/my notes.txt"
wine "$install/uninstall.exe" /S >/dev/null 2>&1 </dev/null
wine "$driver" install "$setup_win" >"$work/quick1.out" 2>&1 </dev/null
check quick_reinstall_after_silent_removal_succeeds contains "$work/quick1.out" "status: Installation completed successfully."
mkdir -p "$quick"
wine reg add 'HKCU\Software\Orbelune' /v AppPath /d "$(winepath -w "$quick")" /f >/dev/null 2>&1
wine "$driver" install "$setup_win" >/dev/null 2>&1 </dev/null
echo "mine" >"$quick/my notes.txt"
wine "$quick/uninstall.exe" >/dev/null 2>&1 </dev/null &
wine "$driver" answer "Orbelune App Pack (Single User) Uninstall" 6 >/dev/null 2>&1 </dev/null
wine "$driver" answer "Orbelune App Pack (Single User) Uninstall" 1 -1 >"$work/quick2.box" 2>&1 </dev/null
wine reg add 'HKCU\Software\Orbelune' /v AppPath /d "$(winepath -w "$quick")" /f >/dev/null 2>&1
wine "$driver" install "$setup_win" >"$work/quick2.out" 2>&1 </dev/null
wine "$driver" answer "Orbelune App Pack (Single User) Uninstall" 1 >/dev/null 2>&1 </dev/null
wait
check quick_reinstall_while_removal_message_open_succeeds contains "$work/quick2.out" "status: Installation completed successfully."
wine "$driver" wait-gone cmd.exe 90 </dev/null
for folder in "$install" "$quick"; do
    n=$(basename "$folder" | tr -c 'a-zA-Z\n' _)
    check "quick_reinstall_${n}_keeps_uninstaller" test -f "$folder/uninstall.exe"
    check "quick_reinstall_${n}_keeps_user_file" test -f "$folder/my notes.txt"
done
command=$(w reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Orbelune' /v UninstallString |
    sed -n 's/.*REG_SZ    "\(.*\)"$/\1/p')
wine "$command" /S >/dev/null 2>&1 </dev/null
check quick_reinstall_entry_removes_pack test $? -eq 0 -a ! -e "$quick/Vantok.exe"
wine "$install/uninstall.exe" /S >/dev/null 2>&1 </dev/null
check quick_reinstall_earlier_folder_removes_pack test $? -eq 0 -a ! -e "$install/Vantok.exe"
check quick_reinstall_user_files_stay test -f "$install/my notes.txt" -a -f "$quick/my notes.txt"
rm -f "$install/my notes.txt" "$quick/my notes.txt"  # the helpers' next rounds remove the folders
check quick_reinstall_folders_removed_without_user_files sh -c "wine '$driver' wait-gone cmd.exe 90 </dev/null &&
    test ! -e '$install' -a ! -e '$quick'"

# 5. An installation into a folder chosen with Browse.
mkdir -p "$appdata/AAA Picked by Browse"
wine "$driver" install "$(winepath -w "$setup")" --browse-first-child >"$work/browse.out" 2>&1 </dev/null
grep -E 'folder|status|picker|FAIL' "$work/browse.out"
check browse_install_succeeds contains "$work/browse.out" "status: Installation completed successfully."
picked="$appdata/AAA Picked by Browse"
check browse_install_into_picked test -f "$picked/Vantok.exe"

# Its removal while cmd.exe cannot be started: the helper that deletes the
# uninstaller cannot run, and the uninstaller says so, keeps its entry and fails.
mv "$system32/cmd.exe" "$system32/cmd.exe.hidden"
(wine "$picked/uninstall.exe" >/dev/null 2>&1 </dev/null; echo $? >"$work/nocmd.code") &
wine "$driver" answer "Orbelune App Pack (Single User) Uninstall" 6 >/dev/null 2>&1 </dev/null
wine "$driver" answer "Orbelune App Pack (Single User) Uninstall" 1 >"$work/nocmd.out" 2>&1 </dev/null
wait
mv "$system32/cmd.exe.hidden" "$system32/cmd.exe"
cat "$work/nocmd.out"
check no_helper_exit_nonzero test "$(cat "$work/nocmd.code")" -ne 0
check no_helper_names_uninstaller contains "$work/nocmd.out" "AAA Picked by Browse\\uninstall.exe"
check no_helper_keeps_uninstaller test -f "$picked/uninstall.exe"
w reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Orbelune' /v UninstallString >"$work/q9"
check no_helper_keeps_entry contains "$work/q9" "AAA Picked by Browse\\uninstall.exe"

# Run again with cmd.exe back: a file and a verb of the user's survive, and
# so do the folder and the keys that hold them. The file is read-only, and
# stays so. The command extensions are switched off for every cmd of the
# user, which the helper's /e:on overrides on Windows. (Wine's cmd, 8 and
# 10, ignores this setting; here the run shows only that cmd takes /e:on.)
echo "mine" >"$picked/my notes.txt"
chmod a-w "$picked/my notes.txt"
mode=$(stat -c %a "$picked/my notes.txt")
wine reg add 'HKCU\Software\Classes\SystemFileAssociations\audio\shell\UserVerb' /ve /d "mine" /f >/dev/null 2>&1
processor='HKCU\Software\Microsoft\Command Processor'
wine reg query "$processor" >/dev/null 2>&1 </dev/null && had_processor=1 || had_processor=
wine reg add "$processor" /v EnableExtensions /t REG_DWORD /d 0 /f >/dev/null 2>&1 </dev/null
wine "$picked/uninstall.exe" /S >/dev/null 2>&1 </dev/null
check second_removal_exits_0 test $? -eq 0
if [ -n "$had_processor" ]; then
    wine reg delete "$processor" /v EnableExtensions /f >/dev/null 2>&1 </dev/null
else
    wine reg delete "$processor" /f >/dev/null 2>&1 </dev/null
fi
check user_file_survives test -f "$picked/my notes.txt"
check user_file_keeps_read_only test "$(stat -c %a "$picked/my notes.txt")" = "$mode"
check uninstaller_removed_beside_user_file gone "$picked/uninstall.exe" "$picked/uninstall.e~~"
w reg query 'HKCU\Software\Classes\SystemFileAssociations\audio\shell\UserVerb' /ve >"$work/q10"
check user_verb_survives contains "$work/q10" "mine"
wine reg delete 'HKCU\Software\Classes\SystemFileAssociations' /f >/dev/null 2>&1
rm -rf "$picked"

# A picked folder whose name cmd would read as its own syntax (a defined
# %variable%, a %i loop variable, ! ^ & ( ) ' , ; = and non-ASCII letters):
# the removal leaves no file, no folder and no key. (Wine 8's cmd expands
# %variables% in an expanded value again, unlike Windows' and Wine 10's: there
# a name holding "%SystemRoot%", the one variable of the helper's own
# environment with a name a folder can have, is not removed; not tested.)
odd="$appdata/AAA 100%increase %OrbeluneFolder% %PATH% %i !x! ^ & ( ) ' , ; = Ünïcødé"
mkdir -p "$odd"
wine "$driver" install "$(winepath -w "$setup")" --browse-first-child >"$work/odd.out" 2>&1 </dev/null
grep -aE 'folder|status|picker|FAIL' "$work/odd.out"
check odd_folder_install_succeeds contains "$work/odd.out" "status: Installation completed successfully."
check odd_folder_install_into_picked test -f "$odd/uninstall.exe"
wine "$odd/uninstall.exe" /S >/dev/null 2>&1 </dev/null
check odd_folder_removal_exits_0 test $? -eq 0
check odd_folder_uninstaller_removed gone "$odd/uninstall.exe" "$odd/uninstall.e~~"
check odd_folder_removed gone "$odd"
check odd_folder_entry_removed sh -c "! wine reg query 'HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orbelune' >/dev/null 2>&1 </dev/null"
ls -A "$appdata" | grep -F 'AAA ' >"$work/odd.left"
check odd_folder_no_namesake_left test ! -s "$work/odd.left"
rm -rf "$odd"

# 6. An installation killed, as a crash or a power cut would end it, after
# two programs; the next run completes, and the uninstaller then leaves
# nothing of the pack behind.
wine "$driver" install "$(winepath -w "$setup")" --kill-after Brindlecap.exe >"$work/killed.out" 2>&1 </dev/null
cat "$work/killed.out"
check killed_after_two contains "$work/killed.out" "killed after:"
ls "$install" >"$work/killed.files" 2>&1
echo "left by the killed run: $(tr '\n' ' ' <"$work/killed.files")"
wine "$driver" install "$(winepath -w "$setup")" >"$work/rerun.out" 2>&1 </dev/null
check rerun_after_kill_succeeds contains "$work/rerun.out" "status: Installation completed successfully."
wine "$install/uninstall.exe" /S >/dev/null 2>&1 </dev/null
check removal_after_kill_exits_0 test $? -eq 0
check folder_removed_after_kill gone "$install"

# 7. The pack installed in one folder, then in a second one. The first
# folder's uninstaller removes its own programs and folder, and nothing of
# the second installation: its recorded folder, entry, links, file types and
# verbs stay as they were. The second one, started by its short name in
# capitals, knows its folder in any spelling and leaves nothing.
one="$appdata/Orbelune One"
two="$appdata/Orbelune Two"
two_win=$(winepath -w "$two")
mkdir -p "$one" "$two"
for folder in "$one" "$two"; do
    n=${folder##* }
    wine reg add 'HKCU\Software\Orbelune' /v AppPath /d "$(winepath -w "$folder")\\" /f >/dev/null 2>&1
    wine "$driver" install "$(winepath -w "$setup")" >"$work/$n.out" 2>&1 </dev/null
    check "two_folders_install_$n" contains "$work/$n.out" "status: Installation completed successfully."
done
snapshot two_folders
cp -a "$programs/Orbelune" "$work/two_folders.links"
wine "$one/uninstall.exe" /S >/dev/null 2>&1 </dev/null
check two_folders_first_removal_exits_0 test $? -eq 0
check two_folders_first_folder_removed gone "$one"
snapshot first_removed
diff "$work/two_folders.hkcu" "$work/first_removed.hkcu" | grep -E '^[<>]' |
    grep -iE 'orbelune|kestrefond|quillmarsh|cryvane|drumlake|qtxt|\.cvx|\.dmk' >"$work/second.changed"
diff "$work/two_folders.files" "$work/first_removed.files" | grep -E '^[<>]' |
    grep -iE 'orbelune|\.lnk' | grep -v '^< \./AppData/Roaming/Orbelune One' >>"$work/second.changed"
cat "$work/second.changed"
check two_folders_second_stays_whole test ! -s "$work/second.changed"
check two_folders_second_links_stay diff -r "$work/two_folders.links" "$programs/Orbelune"
w reg query 'HKCU\Software\Orbelune' /v AppPath >"$work/two.apppath"
check two_folders_second_recorded contains "$work/two.apppath" "AppPath    REG_SZ    $two_win\\"
lnkinfo "$programs/Orbelune/Cryvane.lnk" >"$work/two.lnk.txt" 2>&1
check two_folders_links_are_the_second contains "$work/two.lnk.txt" "Local path			: $two_win\\Cryvane.exe"
short=$(winepath -s "$two_win" 2>/dev/null | tr 'a-z' 'A-Z')
wine "$short\\UNINSTALL.EXE" /S >/dev/null 2>&1 </dev/null
check two_folders_second_removal_exits_0 test $? -eq 0
check two_folders_second_folder_removed gone "$two"
check two_folders_second_entry_removed \
    sh -c "! wine reg query 'HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orbelune' >/dev/null 2>&1 </dev/null"
check two_folders_second_links_removed test ! -e "$programs/Orbelune"

# After all of these removals the user's registry and files are as before.
snapshot after
diff "$work/before.hkcu" "$work/after.hkcu" >"$work/hkcu.diff"
grep -E '^[<>]' "$work/hkcu.diff" |
    grep -iE 'orbelune|kestrefond|quillmarsh|cryvane|drumlake|qtxt|\.cvx|\.dmk|SystemFileAssociations|Classes\\Directory' \
    >"$work/hkcu.left"
check registry_clean_after_removal test ! -s "$work/hkcu.left"
diff "$work/before.files" "$work/after.files" >"$work/files.diff"
grep -E '^[<>]' "$work/files.diff" | grep -iE 'orbelune|\.lnk|notes|browse' >"$work/files.left"
check files_clean_after_removal test ! -s "$work/files.left"
check nothing_left_in_temp_at_the_end temp_clean
echo "HKCU lines changed: $(grep -cE '^[<>]' "$work/hkcu.diff"), user files changed: $(grep -cE '^[<>]' "$work/files.diff")"
grep -E "^[<>]" "$work/hkcu.diff" | head -20
cat "$work/hkcu.left" "$work/files.left"

# 8. A disk that fills up during an installation: a small tmpfs as drive Q:,
# filled by this script as soon as the first program is written. Every
# program is then whole or absent (a fresh installation), or the new or
# byte for byte the earlier one (over an earlier installation), and no
# partial file is left.
mnt="$work/disk"
mkdir -p "$mnt"
# wineserver opens the files of Wine's programs: a server that runs in a
# mount namespace of its own (the second platform's sandbox) sees only the
# mounts made before it started, so the next one starts after the tmpfs.
wineserver -k 2>/dev/null
if mount -t tmpfs -o size=1m tmpfs "$mnt"; then
    ln -sfn "$mnt" "$WINEPREFIX/dosdevices/q:"
    names="Vantok Brindlecap Ostravelind Zafrin Kestrefond Quillmarsh Cryvane Drumlake uninstall"
    disk_full_run() {  # disk_full_run NAME: installs into Q:\Orbelune\ while the disk fills
        wine reg add 'HKCU\Software\Orbelune' /v AppPath /d 'Q:\Orbelune\' /f >/dev/null 2>&1
        (for i in $(seq 2000); do  # up to 20 s
            cmp -s "$mnt/Orbelune/Vantok.exe" "$build/payload/Vantok.exe" && exec cat /dev/zero >"$mnt/fill"
            sleep 0.01
        done) 2>/dev/null &
        wine "$driver" install "$(winepath -w "$setup")" >"$work/$1.out" 2>&1 </dev/null
        wait
        grep -q "status: Installation failed." "$work/$1.out" || cat "$work/$1.out"
        check "${1}_reports_failure" contains "$work/$1.out" "status: Installation failed."
        check "${1}_lists_write_failures" contains "$work/$1.out" "detail: ERROR: Write failed."
        ls -A "$mnt/Orbelune" | grep -vxE "($(echo $names | tr ' ' '|'))\.exe" >"$work/$1.extra"
        check "${1}_leaves_no_partial_file" test ! -s "$work/$1.extra"
        new=0 old=0 absent=0 bad=""
        for n in $names; do
            f="$mnt/Orbelune/$n.exe"
            if [ ! -e "$f" ]; then absent=$((absent + 1))
            elif cmp -s "$f" "$build/payload/$n.exe"; then new=$((new + 1))
            elif [ -e "$work/old/$n.exe" ] && cmp -s "$f" "$work/old/$n.exe"; then old=$((old + 1))
            else bad="$bad $n.exe($(stat -c %s "$f") bytes)"
            fi
        done
        echo "$1: $(grep -c 'ERROR: Write failed.' "$work/$1.out") failed writes; new $new, earlier $old, absent $absent, damaged:${bad:- none}"
        check "${1}_every_program_new_earlier_or_absent" test -z "$bad"
        rm -rf "$mnt/fill" "$mnt/Orbelune"
        clean_state
    }

    mkdir -p "$mnt/Orbelune"
    disk_full_run disk_full_fresh

    mkdir -p "$mnt/Orbelune" "$work/old"
    for n in $names; do  # an earlier installation: other bytes, and smaller
        head -c 4096 "$build/payload/UninstallAdmin.exe" >"$work/old/$n.exe"
        echo "earlier $n" >>"$work/old/$n.exe"
        cp "$work/old/$n.exe" "$mnt/Orbelune/"
    done
    disk_full_run disk_full_upgrade

    # An installation into the drive's root, and its removal: the folder
    # calls never see "Q:" alone, and the root stays.
    wine reg add 'HKCU\Software\Orbelune' /v AppPath /d 'Q:\' /f >/dev/null 2>&1
    wine "$driver" install "$(winepath -w "$setup")" >"$work/root.out" 2>&1 </dev/null
    check root_install_succeeds contains "$work/root.out" "status: Installation completed successfully."
    wine 'Q:\uninstall.exe' /S >/dev/null 2>&1 </dev/null
    check root_removal_exits_0 test $? -eq 0
    check root_uninstaller_removed gone "$mnt/uninstall.exe" "$mnt/uninstall.e~~"
    check root_left_empty test -z "$(ls -A "$mnt")"
    clean_state
else
    check tmpfs_mounted false
fi

# 9. A maintainer's run: a payload of programs that this build did not make,
# Wine's own 64-bit programs (Wine 8's on either platform: setup only writes
# them), named by absolute path in a list of the maintainer's (the license
# relative to the list's folder) and packed by a build of its own. Every
# installed program is the given file byte for byte; a given file replaced
# by another one with an older time is packed by the next build.
root=$(cd "$(dirname "$0")/../.." && pwd)
wine_programs=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
given_programs="winver write control expand lodctr mshta secedit icinfo"
maintainer="$root/build/e2e-maintainer"
given="$work/given"
mkdir -p "$given"
cp "$root/components/license.txt" "$given/"
{
    echo "license.txt 0"
    for p in $given_programs; do
        cp "$wine_programs/$p.exe" "$given/" && echo "$given/$p.exe 0x01D9D616EAD6E286"
    done
    echo "build:UninstallAdmin.exe 0"
    echo "build:uninstall.exe 0"
} >"$given/payload.list"
maintainer_build() {
    (cd "$root" && cmake --preset win -B "$maintainer" -DORBELUNE_PAYLOAD_LIST="$given/payload.list" &&
        cmake --build "$maintainer" -j2 --target OrbeluneSetup) >"$work/maintainer.log" 2>&1
}
payload_checksum() { sed -n 's/.*PayloadChecksum = \(0x[0-9A-F]*\)u.*/\1/p' "$maintainer/generated/payload_constants.h"; }
# maintainer_install NAME: installs the maintainer's setup, checks each
# program against the given file, and removes the pack again.
maintainer_install() {
    wine "$driver" install "$(winepath -w "$maintainer/OrbeluneSetup.exe")" >"$work/$1.out" 2>&1 </dev/null
    check "${1}_install_succeeds" contains "$work/$1.out" "status: Installation completed successfully."
    i=1
    for name in Vantok Brindlecap Ostravelind Zafrin Kestrefond Quillmarsh Cryvane Drumlake; do
        check "${1}_file_$name" cmp "$install/$name.exe" "$given/$(echo $given_programs | cut -d' ' -f$i).exe"
        i=$((i + 1))
    done
    wine "$install/uninstall.exe" /S >/dev/null 2>&1 </dev/null
    check "${1}_removed" gone "$install"
    clean_state
}
check maintainer_build_succeeds maintainer_build
grep -m1 'orbelune-pack: ' "$work/maintainer.log"
before=$(payload_checksum)
maintainer_install maintainer
cp -p "$wine_programs/winemine.exe" "$given/winver.exe"  # keeps its time of 2023
check maintainer_rebuild_succeeds maintainer_build
grep -m1 'orbelune-pack: ' "$work/maintainer.log"
after=$(payload_checksum)
echo "maintainer: payload checksum $before, after replacing winver.exe by winemine.exe $after"
check maintainer_replaced_file_packed test "$before" != "$after"
maintainer_install maintainer_replaced

echo "e2e: $passed passed, $failed failed"
write_results e2e "$results"
[ $failed -eq 0 ]
