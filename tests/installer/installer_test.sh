#!/usr/bin/env bash
# The setup program's main path: a silent install (files, shortcuts, classes of
# both bitnesses, the profile key's access list, the installed-programs entry),
# clients of both bitnesses by ProgID against the simulator and the installed
# doctor, an upgrade that keeps the settings, and a silent uninstall that leaves
# the registry as it was before the install (registry exports compared) and
# another driver's profile untouched.
. "$(dirname "$0")/installer_lib.sh"

echo "== silent install"
setup_exits 0 "install"
expect "32-bit server installed where 32-bit programs' files go" cmp -s "$dir32/MorvantisFocuser.dll" \
    "$BUILD_DIR/win32/MorvantisFocuser.dll"
expect "64-bit server installed where 64-bit programs' files go" cmp -s "$dir64/MorvantisFocuser.dll" \
    "$BUILD_DIR/win64/MorvantisFocuser.dll"
expect "uninstaller installed" test -f "$dir32/Uninstall.exe"
# The tools of the machine's bitness (64-bit here) beside the 64-bit server.
expect "64-bit FocuserCtl installed" cmp -s "$dir64/FocuserCtl.exe" "$BUILD_DIR/win64/FocuserCtl.exe"
expect "64-bit FocuserSim installed" cmp -s "$dir64/FocuserSim.exe" "$BUILD_DIR/win64/FocuserSim.exe"
expect "VBScript sample and README installed" cmp -s "$dir32/focuser.vbs" "$here/../../examples/focuser.vbs"
expect "README installed" cmp -s "$dir32/README.md" "$here/../../README.md"
# A shortcut's target and arguments, as text (the arguments are UTF-16).
link_text() { tr -d '\0' <"$menu/$1.lnk"; }
link_text "Focuser setup" | grep -q 'FocuserCtl\.exe' && link_text "Focuser setup" | grep -q 'setup' ||
    fail "no shortcut 'Focuser setup' to FocuserCtl setup"
ok "Start menu: Focuser setup opens FocuserCtl setup"
link_text "Focuser diagnosis" | grep -q 'cmd\.exe' && link_text "Focuser diagnosis" | grep -q '/k ""C:.*FocuserCtl\.exe" doctor"' ||
    fail "no shortcut 'Focuser diagnosis' to doctor in a console that stays open"
ok "Start menu: Focuser diagnosis runs doctor under cmd /k"
link_text "Uninstall" | grep -q 'Uninstall\.exe' || fail "no shortcut 'Uninstall'"
ok "Start menu: Uninstall"

for bits in 32 64; do
    [ $bits = 32 ] && dir=$dir32 || dir=$dir64
    server=$(default_value $bits "HKCR\\CLSID\\$CLSID\\InprocServer32")
    [ -n "$server" ] || fail "no $bits-bit class registration"
    # The server registers its short path; it must name the installed file.
    [ "$(readlink -f "$(winerun 32 winepath -u "$server" 2>/dev/null)")" = "$(readlink -f "$dir/MorvantisFocuser.dll")" ] ||
        fail "the $bits-bit class names $server, not the installed server"
    ok "$bits-bit class registered for the installed server ($server)"
    [ "$(named_value $bits "HKCR\\CLSID\\$CLSID\\InprocServer32" ThreadingModel)" = Apartment ] ||
        fail "$bits-bit threading model"
    ok "$bits-bit class in the apartment model"
    expect "$bits-bit type library registered" exists $bits "HKCR\\TypeLib\\$LIBID\\1.0\\0\\win$bits"
    [ "$(default_value $bits 'HKCR\Morvantis.Focuser\CLSID')" = "$CLSID" ] || fail "ProgID ($bits-bit view)"
    ok "ProgID Morvantis.Focuser names the class ($bits-bit view)"
done
[ "$(default_value 32 "$PROFILE")" = Morvantis ] || fail "the profile key's display name"
ok "profile key with the display name Morvantis"
# What the registry keeps of the key's access list, read back as SDDL.
# Another key made without the setup shows what a new key's list holds.
key_acl() { winerun 32 "$BUILD_DIR/win32/tests/key_security.exe" "${1#HKLM\\}" 2>/dev/null | tr -d '\r'; }
acl=$(key_acl "$PROFILE")
plain=$(key_acl "$OTHER")
echo "    profile key access list: $acl"
echo "    a new key's access list: $plain"
# KEY_READ | KEY_WRITE = 0x2001f, which SDDL may spell as its single rights.
grep -Eq '\(A;[A-Z]*CI[A-Z]*;(0x2001f|CCDCLCSWRPRC);;;BU\)' <<<"$acl" ||
    fail "no inheritable KEY_READ|KEY_WRITE entry for Users on the profile key: $acl"
ok "Users may read and change the profile key (and keys below it)"
[ -n "$plain" ] || fail "no access list on $OTHER"
for entry in $(sed 's/^D:[A-Z]*//; s/)(/) (/g' <<<"$plain"); do
    grep -qF "$entry" <<<"$acl" || fail "the profile key lost the entry $entry: $acl"
done
ok "the profile key keeps the entries a new key has"
[ "$(named_value 32 "$UNINSTALL" DisplayVersion)" = "$VERSION" ] || fail "DisplayVersion"
[ "$(named_value 32 "$UNINSTALL" Publisher)" = Morvantis ] || fail "Publisher"
[ -n "$(named_value 32 "$UNINSTALL" DisplayName)" ] || fail "DisplayName"
uninstaller='C:\Program Files (x86)\Morvantis\Uninstall.exe'
[ "$(named_value 32 "$UNINSTALL" UninstallString)" = "\"$uninstaller\"" ] || fail "UninstallString not quoted"
[ "$(named_value 32 "$UNINSTALL" DisplayIcon)" = "$uninstaller" ] || fail "DisplayIcon"
# The size of what was installed in KiB, give or take a KiB a file.
files=$(find "$dir32" "$dir64" -maxdepth 1 -type f | wc -l)
bytes=$(find "$dir32" "$dir64" -maxdepth 1 -type f -printf '%s\n' | awk '{ n += $1 } END { print n }')
size=$(($(named_value 32 "$UNINSTALL" EstimatedSize)))
[ $size -ge $((bytes / 1024 - files)) ] && [ $size -le $((bytes / 1024 + files)) ] ||
    fail "EstimatedSize $size KiB, but $files files of $bytes bytes were installed"
ok "installed-programs entry: DisplayName, DisplayVersion $VERSION, Publisher, quoted UninstallString," \
    "DisplayIcon, EstimatedSize $size KiB"
echo "== clients of both bitnesses by ProgID"
start_simulator
for bits in 32 64; do
    target=$((bits * 10))
    winerun $bits "$BUILD_DIR/win$bits/FocuserCtl.exe" link move $target position unlink >"$WORK/client$bits.log" 2>&1
    rc=$?
    tr -d '\r' <"$WORK/client$bits.log" | sed 's/^/    /'
    [ $rc -eq 0 ] || fail "the $bits-bit client exited with $rc"
    tr -d '\r' <"$WORK/client$bits.log" | grep -Eq "(^|[^0-9])$target([^0-9]|$)" ||
        fail "the $bits-bit client did not report position $target"
    ok "$bits-bit client created the driver by ProgID, linked and moved to $target"
done

winerun 64 "$dir64/FocuserCtl.exe" doctor >"$WORK/doctor.log" 2>&1
rc=$?
tr -d '\r' <"$WORK/doctor.log" | sed 's/^/    /'
[ $rc -eq 0 ] || fail "the installed doctor found problems (exit $rc)"
ok "the installed FocuserCtl doctor passes every check"
echo "== install over the existing install"
reg32 add "$PROFILE" /v MaxPos /d 4321 /f >/dev/null || fail "changing MaxPos"
setup_exits 0 "install over it"
[ "$(named_value 32 "$PROFILE" COM)" = 5 ] && [ "$(named_value 32 "$PROFILE" MaxPos)" = 4321 ] ||
    fail "the settings did not survive the upgrade: $(reg32 query "$PROFILE")"
ok "the upgrade keeps COM and MaxPos"
[ "$(default_value 32 "$PROFILE")" = Morvantis ] || fail "display name after the upgrade"
expect "the upgrade keeps both classes registered" exists 64 "HKCR\\CLSID\\$CLSID\\InprocServer32"
stop_simulator

echo "== silent uninstall"
uninstall 'C:\Program Files (x86)\Morvantis'
expect "the 32-bit program folder is gone" test ! -e "$dir32"
expect "the 64-bit program folder is gone" test ! -e "$dir64"
for bits in 32 64; do
    expect "$bits-bit class gone" absent $bits "HKCR\\CLSID\\$CLSID"
    expect "$bits-bit type library gone" absent $bits "HKCR\\TypeLib\\$LIBID"
done
expect "ProgIDs gone" absent 64 'HKCR\Morvantis.Focuser'
expect "versioned ProgID gone" absent 64 'HKCR\Morvantis.Focuser.1'
expect "profile key gone" absent 32 "$PROFILE"
expect "Start-menu shortcuts gone" test ! -e "$menu"
expect "installed-programs entry gone" absent 32 "$UNINSTALL"
[ "$(default_value 32 "$OTHER")" = "Other focuser" ] && [ "$(named_value 32 "$OTHER" COM)" = 2 ] ||
    fail "the other driver's profile changed"
ok "the other driver's profile is untouched"

# The uninstaller runs from a copy in the temporary folder, which cannot delete
# itself: it leaves that copy to the next boot (PendingFileRenameOperations),
# as on Windows. A restart of the prefix carries that out. Wine deletes in the
# listed order, the folder before the file in it, so the emptied folder stays.
temp_files=$(find "$WINEPREFIX"/drive_c/users/*/Temp -path '*~nsu*' -type f 2>/dev/null | wc -l)
winerun 32 wineboot -r >/dev/null 2>&1 || fail "restarting the prefix"
left=$(find "$WINEPREFIX"/drive_c/users/*/Temp -path '*~nsu*' -type f 2>/dev/null)
[ -z "$left" ] || fail "the uninstaller's temporary copy is still there after a restart: $left"
ok "the uninstaller's temporary copy ($temp_files file) is gone after a restart" \
    "(empty folders left in Temp: $(find "$WINEPREFIX"/drive_c/users/*/Temp -path '*~nsu*' -type d | wc -l))"

expect_unchanged before uninstalled "after the uninstall"
installer_done
