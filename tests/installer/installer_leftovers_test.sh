#!/usr/bin/env bash
# What a failed upgrade or an uninstall leaves, and what they say of it: an
# upgrade whose undo finds the new 32-bit server held puts back the rest, names
# the file and ends with exit code 4. The uninstaller removes only what is its
# own install's: of two installs in two folders, the first one's uninstall
# (through its pages) leaves the 64-bit server, the registrations, the settings
# and the entry that the second one uses, says so on its finish page and in its
# log, and the second one's removes the rest; after an install, a copy of the
# 64-bit server that another setup registered keeps its registration and serves
# on.
. "$(dirname "$0")/installer_lib.sh"
[ -n "${DISPLAY:-}" ] || fail "no DISPLAY: the uninstaller's pages need an X display (run through scripts/test.sh)"

# server_of BITS: the file the class of that view names, as a Linux path.
server_of() {
    readlink -f "$(winerun 32 winepath -u "$(default_value "$1" "HKCR\\CLSID\\$CLSID\\InprocServer32")" 2>/dev/null)"
}

echo "== an install"
setup_exits 0 "install"
start_simulator
snapshot installed

echo "== a failed upgrade whose undo cannot put the 32-bit server back"
# A 32-bit client loads the server the upgrade has just written, before the
# failed registration's undo would put the earlier one back: the undo puts back
# the rest, names the file it could not put back and ends with exit code 4.
server32='C:\Program Files (x86)\Morvantis\MorvantisFocuser.dll'
winerun 32 "$BUILD_DIR/win32/tests/file_holder.exe" loaded "$server32" 120 written >"$WORK/holder-undo.log" 2>&1 &
holder=$!
PIDS+=($holder)
await_line "$WORK/holder-undo.log" '^waiting' "file_holder waiting for the upgrade"
block_regsvr32
winerun 32 "$SETUP" /S
rc=$?
unblock_regsvr32
grep -q '^holding' "$WORK/holder-undo.log" || fail "the new server was not held: $(cat "$WORK/holder-undo.log")"
[ $rc -eq 4 ] || fail "the setup whose undo could not put the server back exited with $rc, not 4"
ok "the setup exits with 4 when its undo cannot put everything back"
run_text Setup | sed 's/^/    /'
run_text Setup | grep -qxF "Could not put back $server32" || fail "the log does not name $server32"
run_text Setup | grep -q '^Not everything was put back. Close every program' || fail "the log says nothing of what to do"
ok "the log names the server it could not put back, and what to do"
kill "$holder" 2>/dev/null
wait "$holder" 2>/dev/null
expect_unchanged installed undoheld "after the undo that could not put the server back" "${helpdir[@]}"
expect "the earlier 64-bit server is put back" cmp -s "$dir64/MorvantisFocuser.dll" "$BUILD_DIR/win64/MorvantisFocuser.dll"
expect_served undoheld "after the undo that could not put the server back"

echo "== a second install, into a folder of its own"
astro='C:\Astro\Morvantis'
astrodir=$WINEPREFIX/drive_c/Astro/Morvantis
setup_exits 0 "second install" "/D=$astro"

echo "== the first one uninstalled through its pages"
rm -f "$(run_log Uninstall)"
winerun 32 'C:\Program Files (x86)\Morvantis\Uninstall.exe' >/dev/null 2>&1 &
PIDS+=($!)
winerun 32 "$BUILD_DIR/win32/tests/wizard_pages.exe" Uninstall 60 >"$WORK/pages.log" 2>&1
rc=$?
# The finish page: the texts of the last page with a Finish button.
finish=$(tr -d '\r' <"$WORK/pages.log" | awk '/^page/ { if (page ~ /&Finish/) last = page; page = ""; next }
    { page = page $0 "\n" } END { if (page ~ /&Finish/) last = page; printf "%s", last }')
sed 's/^/    /' <<<"$finish"
[ $rc -eq 0 ] || fail "the uninstaller's pages did not run to their end: $(tail -n 5 "$WORK/pages.log")"
await_uninstalled
expect "the first install's folder is gone" test ! -e "$dir32"
expect "the 64-bit server stays" cmp -s "$dir64/MorvantisFocuser.dll" "$BUILD_DIR/win64/MorvantisFocuser.dll"
expect "the 64-bit tools stay" test -f "$dir64/FocuserCtl.exe"
[ "$(server_of 32)" = "$(readlink -f "$astrodir/MorvantisFocuser.dll")" ] || fail "the 32-bit class names $(server_of 32)"
[ "$(server_of 64)" = "$(readlink -f "$dir64/MorvantisFocuser.dll")" ] || fail "the 64-bit class names $(server_of 64)"
ok "both classes still name the second install's servers"
[ "$(named_value 32 "$PROFILE" COM)" = 5 ] && [ "$(named_value 32 "$PROFILE" MaxPos)" = 20000 ] &&
    [ "$(default_value 32 "$PROFILE")" = Morvantis ] || fail "the profile key changed: $(reg32 query "$PROFILE")"
ok "the profile key keeps its name and settings"
[ "$(named_value 32 "$UNINSTALL" InstallLocation)" = "$astro" ] || fail "the installed-programs entry is gone"
ok "the installed-programs entry of the second install stays"
run_text Uninstall | sed 's/^/    /'
said=("The 64-bit server C:\\Program Files\\Morvantis\\MorvantisFocuser.dll, its registration and the tools beside it stay: the install in $astro uses them."
    "The profile key HKLM\\Software\\ASCOM\\Focuser Drivers\\Morvantis.Focuser and its settings stay")
for line in "${said[@]}"; do
    run_text Uninstall | grep -qF "$line" || fail "the log does not say: $line"
    grep -qF "$line" <<<"$finish" || fail "the finish page does not say: $line"
done
ok "its log and its finish page say what stays, and for whom"
expect_served second "by the second install"

echo "== the second one uninstalled"
uninstall "$astro"
expect "the second install's folder is gone" test ! -e "$astrodir"
expect "the 64-bit program folder is gone" test ! -e "$dir64"
stop_simulator
rmdir "$WINEPREFIX/drive_c/Astro" 2>/dev/null # left by the install, as by any installer
winerun 32 wineboot -r >/dev/null 2>&1 || fail "restarting the prefix"
expect_unchanged before bothuninstalled "after uninstalling both"

echo "== an install, then a copy of the 64-bit server that another setup registered"
setup_exits 0 "install"
copy=$WINEPREFIX/drive_c/Other/x64
mkdir -p "$copy" && cp "$BUILD_DIR/win64/MorvantisFocuser.dll" "$copy/" || fail "copying the 64-bit server"
winerun 64 regsvr32 /s 'C:\Other\x64\MorvantisFocuser.dll' || fail "registering the copy"
start_simulator
uninstall 'C:\Program Files (x86)\Morvantis'
expect "the install's 64-bit server is gone" test ! -e "$dir64"
[ "$(server_of 64)" = "$(readlink -f "$copy/MorvantisFocuser.dll")" ] || fail "the 64-bit class names $(server_of 64)"
ok "the 64-bit class still names the copy"
run_text Uninstall | grep -q '^The 64-bit class stays registered: it names C:\\Other\\x64\\MorvantisFocuser.dll, not' ||
    fail "the log does not say the copy's registration stays: $(run_text Uninstall)"
ok "the log says that the copy's registration stays"
winerun 64 "$BUILD_DIR/win64/FocuserCtl.exe" link move 300 unlink >"$WORK/copy64.log" 2>&1 ||
    fail "the 64-bit client of the copy: $(tr -d '\r' <"$WORK/copy64.log")"
ok "the 64-bit client is served by the copy, with the settings kept"
stop_simulator
installer_done
