#!/usr/bin/env bash
# Installs that go another way: /D= into a folder of one's own and its uninstall,
# an install whose tools cannot be written (the driver stays, exit code 3), and
# failed installs (a server that cannot be written, a folder in the 32-bit
# server's place, a registration that fails) that leave registry and folders as
# before.
. "$(dirname "$0")/installer_lib.sh"

echo "== /D= into a folder of one's own"
custom='C:\Astro\Morvantis'
customdir=$WINEPREFIX/drive_c/Astro/Morvantis
setup_exits 0 "install with /D=" "/D=$custom"
expect "32-bit server installed into the folder /D= names" cmp -s "$customdir/MorvantisFocuser.dll" \
    "$BUILD_DIR/win32/MorvantisFocuser.dll"
expect "uninstaller beside it" test -f "$customdir/Uninstall.exe"
expect "nothing in the default 32-bit folder" test ! -e "$dir32"
expect "64-bit server in the 64-bit Program Files" cmp -s "$dir64/MorvantisFocuser.dll" \
    "$BUILD_DIR/win64/MorvantisFocuser.dll"
server=$(default_value 32 "HKCR\\CLSID\\$CLSID\\InprocServer32")
[ "$(readlink -f "$(winerun 32 winepath -u "$server" 2>/dev/null)")" = "$(readlink -f "$customdir/MorvantisFocuser.dll")" ] ||
    fail "the 32-bit class names $server, not the server in $custom"
ok "32-bit class registered for the server in $custom"
[ "$(named_value 32 "$UNINSTALL" InstallLocation)" = "$custom" ] || fail "InstallLocation"
ok "installed-programs entry names $custom"
uninstall "$custom"
expect "the folder /D= named is gone" test ! -e "$customdir"
rmdir "$WINEPREFIX/drive_c/Astro" 2>/dev/null # left by the install, as by any installer
winerun 32 wineboot -r >/dev/null 2>&1 || fail "restarting the prefix"
expect_unchanged before customuninstalled "after uninstalling from $custom"

echo "== tools that cannot be written"
# A folder where FocuserCtl.exe goes: the driver installs, the tools' files and
# shortcuts go again, and the exit code says so.
mkdir -p "$dir64/FocuserCtl.exe"
setup_exits 3 "install whose tools cannot be written"
expect "the 64-bit server is installed all the same" cmp -s "$dir64/MorvantisFocuser.dll" \
    "$BUILD_DIR/win64/MorvantisFocuser.dll"
for bits in 32 64; do
    expect "$bits-bit class registered all the same" exists $bits "HKCR\\CLSID\\$CLSID\\InprocServer32"
done
expect "no simulator left of the tools" test ! -e "$dir64/FocuserSim.exe"
expect "no sample or README left" test ! -e "$dir32/focuser.vbs" -a ! -e "$dir32/README.md"
expect "no Start-menu folder" test ! -e "$menu"
rmdir "$dir64/FocuserCtl.exe"
uninstall 'C:\Program Files (x86)\Morvantis'
winerun 32 wineboot -r >/dev/null 2>&1 || fail "restarting the prefix"
expect_unchanged before toolsfailed "after uninstalling the install without tools"

echo "== a server that cannot be written"
# A file where the 64-bit folder should go, and /D= into folders that do not
# exist yet: the 32-bit server is written before the 64-bit one fails.
touch "$dir64"
snapshot blocked
setup_fails "64-bit folder blocked" '/D=C:\Astro\New\Morvantis'
expect_unchanged blocked notwritten "after the failed install"
rm -f "$dir64"

echo "== a folder where the 32-bit server goes"
# No earlier server to keep: nothing may be copied into that folder.
mkdir -p "$dir32/MorvantisFocuser.dll"
snapshot folder32
setup_fails "a folder in the 32-bit server's place"
expect_unchanged folder32 folder32failed "after the failed install"
rm -r "$dir32"

echo "== a registration that fails"
block_regsvr32
setup_fails "64-bit registration fails"
unblock_regsvr32
expect_unchanged before notregistered "after the failed install"
expect "no uninstaller" test ! -e "$dir32/Uninstall.exe"
installer_done
