#!/bin/sh
# End-to-end runs under Wine, for what needs Linux around the Windows
# programs: the trace of setup's flushes and renames, the system folder's
# cmd.exe taken away, a small disk on tmpfs as drive Q:, a maintainer's own
# build; and results read by programs nobody here wrote: Wine's reg and
# uninstaller, lnkinfo, osslsigncode. The rest of a user's journey (the
# wizard, the files, the removals through the entry and what they leave) is
# the journey tests' (tests/win/journey), on Windows and Wine alike.
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
install="$appdata/Orbelune"

clean_state() {
    clean_pack_state "$appdata"
    rm -rf "$appdata"/AAA\ *
}

gone() {  # gone PATH...: waits up to 10 s for the uninstaller's helper to remove them
    for path; do
        i=0
        while [ -e "$path" ] && [ $i -lt 50 ]; do sleep 0.2; i=$((i + 1)); done
        test ! -e "$path" || return 1
    done
}

clean_state

# 1. A whole installation with everything ticked, traced: each temporary
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
# lnkinfo reads each link as a file of its own format.
for name in Vantok Brindlecap Ostravelind Zafrin Kestrefond Quillmarsh Cryvane Drumlake; do
    lnkinfo "$programs/Orbelune/$name.lnk" >"$work/$name.lnk.txt" 2>&1
    check "lnkinfo_$name" contains "$work/$name.lnk.txt" "Local path			: $appdata_win\\Orbelune\\$name.exe"
done
# From a signed release the installed programs carry their signatures, which
# osslsigncode accepts as they lie in the install folder.
root_cert="$build/tests/signing-root.pem"
if [ -f "$root_cert" ]; then
    check installed_uninstaller_signed osslsigncode verify -CAfile "$root_cert" -in "$install/uninstall.exe"
    check installed_program_signed osslsigncode verify -CAfile "$root_cert" -in "$install/Drumlake.exe"
fi

# Wine's list of installed programs shows the pack.
# (Wine 10's uninstaller writes its list to standard error, Wine 8's to
# standard output.)
wine uninstaller --list </dev/null 2>&1 | tr -d '\r' >"$work/list"
check uninstaller_lists_pack contains "$work/list" "Orbelune App Pack (Single User)"

# Opening a .qtxt file and a folder the way the shell does: extension, type
# name, its open command with %1 replaced, all from the per-user classes,
# read by reg, where Wine's own shell does not see them (Wine 8's
# HKEY_CLASSES_ROOT leaves out the user's classes); where it does, the
# journey tests open through the shell.
if ! wine reg query 'HKCR\.qtxt' /ve >/dev/null 2>&1 </dev/null; then
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
fi

# 2. Removal through Wine's own uninstaller, which runs "UninstallString",
# its question answered and its final message closed.
timeout 180 wine uninstaller --remove Orbelune >/dev/null 2>&1 </dev/null &
remover=$!
wine "$driver" answer "Orbelune App Pack (Single User) Uninstall" 6 >/dev/null 2>&1 </dev/null
wine "$driver" answer "Orbelune App Pack (Single User) Uninstall" 1 >"$work/removed.out" 2>&1 </dev/null
wait $remover
check wine_uninstaller_reports_removal contains "$work/removed.out" "was removed from your computer"
check wine_uninstaller_removes_the_folder gone "$install"
wine uninstaller --list </dev/null 2>&1 | tr -d '\r' >"$work/list.after"
check wine_uninstaller_lists_pack_no_more sh -c "! grep -qF 'Orbelune App Pack' '$work/list.after'"
clean_state

# 3. An installation into a folder chosen with Browse.
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

clean_state
rm -rf "$picked"

# 4. A disk that fills up during an installation: a small tmpfs as drive Q:,
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

# 5. A maintainer's run: a payload of programs that this build did not make,
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
