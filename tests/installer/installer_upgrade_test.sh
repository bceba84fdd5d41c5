#!/usr/bin/env bash
# Failed upgrades leave the earlier install working: a failed registration, a
# 32-bit server held by another program (loaded, opened for reading, opened
# without sharing), /D= naming the 64-bit server's folder however it is spelt.
. "$(dirname "$0")/installer_lib.sh"

echo "== the install that the upgrades below must leave as it is"
setup_exits 0 "install"
start_simulator

echo "== an upgrade whose 64-bit registration fails"
snapshot installed
block_regsvr32
setup_fails "failed upgrade"
unblock_regsvr32
# The undo step registers the earlier 32-bit server again, and the 64-bit one,
# which the blocked regsvr32 cannot load either: the type library's help folder
# names the 32-bit folder (helpdir).
expect_unchanged installed failedupgrade "after the failed upgrade" "${helpdir[@]}"
[ "$(default_value 64 "HKCR\\TypeLib\\$LIBID\\1.0\\HELPDIR")" = 'C:\Program Files (x86)\Morvantis\' ] ||
    fail "help folder after the failed upgrade"
ok "the help folder names the earlier 32-bit server's folder"
expect_served again "after the failed upgrade"
# file_times TAG: every file of both program folders with its last change of
# contents or attributes (a write, even of the same bytes, changes it).
file_times() {
    find "$dir32" "$dir64" -type f -printf '%p %C@\n' | LC_ALL=C sort >"$WORK/$1-times.txt"
}
# expect_earlier TAG WHAT: the install made above is there as it was: registry
# and folders, no file of it written, both servers' and the uninstaller's
# contents, and clients served.
expect_earlier() {
    local tag=$1 what=$2
    expect_unchanged installed "$tag" "$what" "${helpdir[@]}"
    file_times "$tag"
    diff "$WORK/earlier-times.txt" "$WORK/$tag-times.txt" >"$WORK/diff-$tag-times.txt" ||
        fail "$what: files were written: $(cat "$WORK/diff-$tag-times.txt")"
    ok "$what: no file of the earlier install was written"
    expect "$what: the earlier 32-bit server is in place" cmp -s "$dir32/MorvantisFocuser.dll" \
        "$BUILD_DIR/win32/MorvantisFocuser.dll"
    expect "$what: the earlier 64-bit server is in place" cmp -s "$dir64/MorvantisFocuser.dll" \
        "$BUILD_DIR/win64/MorvantisFocuser.dll"
    expect "$what: the earlier uninstaller is in place" cmp -s "$dir32/Uninstall.exe" "$WORK/Uninstall.exe"
    expect_served "$tag" "$what"
}
cp "$dir32/Uninstall.exe" "$WORK/Uninstall.exe" || fail "keeping the uninstaller"
file_times earlier
echo "== an upgrade over a 32-bit server that cannot be written"
# A 32-bit client (or the chooser) that has the earlier server loaded keeps it
# from being overwritten, as a program that has it open without write sharing
# does; one without any sharing keeps it from being copied aside as well. The
# setup fails before it has written anything and leaves the earlier install.
for mode in loaded read none; do
    winerun 32 "$BUILD_DIR/win32/tests/file_holder.exe" $mode 'C:\Program Files (x86)\Morvantis\MorvantisFocuser.dll' \
        300 >"$WORK/holder-$mode.log" 2>&1 &
    holder=$!
    PIDS+=($holder)
    await_line "$WORK/holder-$mode.log" '^holding' "file_holder $mode"
    setup_fails "upgrade over a server held ($mode)"
    kill "$holder" 2>/dev/null
    wait "$holder" 2>/dev/null
    expect_earlier "held$mode" "after the upgrade over a held server ($mode)"
done
echo "== /D= naming the 64-bit server's folder"
# Both servers would go to one file: the setup refuses the folder before it
# writes anything, however the folder is spelt. NSIS reads /D= to the end of
# the command line, unquoted: Wine quotes an argument with spaces, so cmd starts
# the setup with the line as written.
n=0
for folder in 'C:\Program Files\Morvantis' 'c:\program files\MORVANTIS\' 'C:\Program Files\Astro\..\Morvantis'; do
    n=$((n + 1))
    winerun 32 cmd /c "$(winerun 32 winepath -w "$SETUP") /S /D=$folder"
    rc=$?
    [ $rc -eq 2 ] || fail "the setup with /D=$folder exited with $rc, not 2"
    ok "the setup refuses /D=$folder with exit code 2"
    expect_earlier "samefolder$n" "after /D=$folder"
done
stop_simulator
installer_done
