#!/usr/bin/env bash
# The setup program in a fresh Wine prefix of its own: silent install, clients of
# both bitnesses by ProgID against the simulator, an upgrade that keeps the
# settings, failed upgrades that leave the earlier install working (a failed
# registration, a 32-bit server held by another program, /D= naming the 64-bit
# server's folder), and a silent uninstall that leaves the registry as it was
# before the install (registry exports compared) and another driver's profile
# untouched; then /D= into a folder of one's own, an install whose tools cannot
# be written (the driver stays, exit code 3), and failed installs (a server that
# cannot be written, a folder in the 32-bit server's place, a registration that
# fails) that leave registry and folders as before.
# Run by scripts/test.sh; BUILD_DIR (or FOCUSER_BENCH_PORTS) names the build.
set -u
if [ -z "${BUILD_DIR:-}" ]; then
    : "${FOCUSER_BENCH_PORTS:?set BUILD_DIR or run through scripts/test.sh}"
    BUILD_DIR=$(dirname "$FOCUSER_BENCH_PORTS")
fi
export BUILD_DIR
here=$(cd "$(dirname "$0")" && pwd)
export PATH=$here/../../scripts/lib:$PATH
# The setup program is a 32-bit program: none of this runs where 32-bit code cannot.
if ! winerun --runs32; then
    echo "skipped: the setup program is a 32-bit program, and this machine runs 64-bit code only"
    exit 77
fi

SETUP=$BUILD_DIR/MorvantisFocuserSetup.exe
WORK=$BUILD_DIR/installer-test
CLSID='{4202128D-BD14-404D-8BC1-217D157EA800}'
LIBID='{9CDCB019-A412-4BEA-8735-6DE5A4ED7C80}'
PROFILE='HKLM\Software\ASCOM\Focuser Drivers\Morvantis.Focuser'
OTHER='HKLM\Software\ASCOM\Focuser Drivers\Other.Focuser'
UNINSTALL='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\MorvantisFocuser'

# A prefix of its own, with its own wineserver: nothing of the suite's prefix
# (where the tests register the servers) can leak into what is checked here.
export WINEPREFIX=$WORK/prefix
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
PIDS=()
checks=0

cleanup() {
    if [ -d "$WINEPREFIX" ]; then
        wineserver -k >/dev/null 2>&1
    fi
    local pid
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
        pid=${PIDS[$i]}
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    PIDS=()
    # The prefix takes over a gigabyte; the exports and logs stay for reading.
    [ "${KEEP_INSTALLER_PREFIX:-0}" = 1 ] || rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    exit 1
}
ok() {
    checks=$((checks + 1))
    echo "ok   $*"
}
# expect DESCRIPTION COMMAND...: the command must succeed.
expect() {
    local what=$1
    shift
    "$@" || fail "$what"
    ok "$what"
}

reg32() { winerun 32 reg "$@" /reg:32 2>/dev/null | tr -d '\r'; return "${PIPESTATUS[0]}"; }
reg64() { winerun 64 reg "$@" /reg:64 2>/dev/null | tr -d '\r'; return "${PIPESTATUS[0]}"; }
# Exits 0 when the key (or value) exists in the given view.
exists() {
    local bits=$1
    shift
    "reg$bits" query "$@" >/dev/null
}
absent() { ! exists "$@"; }
# default_value BITS KEY: the key's default value text.
default_value() { "reg$1" query "$2" /ve | sed -n 's/^ *(Default) *REG_SZ *//p'; }
named_value() { "reg$1" query "$2" /v "$3" | sed -n "s/^ *$3 *REG_[A-Z_]* *//p"; }

# The registry as compared: all of HKEY_LOCAL_MACHINE and the user's classes.
# HKEY_CLASSES_ROOT is only the merged view of the machine's and the user's
# classes, so exporting it as well would read every machine class twice.
REGISTRY_ROOTS=(machine:HKEY_LOCAL_MACHINE 'userclasses:HKEY_CURRENT_USER\Software\Classes')
export_registry() {
    local tag=$1 entry name root out
    for entry in "${REGISTRY_ROOTS[@]}"; do
        name=${entry%%:*}
        root=${entry#*:}
        rm -f "$WORK/$tag-$name.reg"
        out=$(winerun 64 regedit /E "$WORK_WIN\\$tag-$name.reg" "$root" 2>&1)
        if [ ! -s "$WORK/$tag-$name.reg" ]; then
            # A prefix without classes of the user's own has none to compare
            # (regedit says so, and exits with 0 all the same).
            [ "$name" = userclasses ] && [[ "$out" == *"Unable to open"* ]] || fail "exporting $root ($tag): $out"
            : >"$WORK/$tag-$name.reg"
        fi
    done
}

# Volatile areas that the system rewrites by itself at a boot or while any
# program runs, as Windows does: the hardware device map (serial ports opened),
# the device-interface state of the running device services, the service
# counter, and the display adapters, their modes and the network cards found at
# each boot.
# Nothing of ours lives there.
ignore=(--ignore 'HKEY_LOCAL_MACHINE\Hardware'
    --ignore 'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses'
    --ignore 'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\ServiceCurrent'
    --ignore 'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Class'
    --ignore 'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Video'
    --ignore 'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Hardware Profiles'
    --ignore 'HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\NetworkCards'
    --ignore 'HKEY_LOCAL_MACHINE\Software\Wow6432Node\Microsoft\Windows NT\CurrentVersion\NetworkCards')

# The folders of drive C: outside Windows' own and the users' (temporary files).
list_folders() {
    (cd "$WINEPREFIX/drive_c" && find . \( -path ./windows -o -path ./users -o -path ./ProgramData \) -prune -o -print |
        LC_ALL=C sort) >"$WORK/$1-folders.txt"
}
snapshot() {
    export_registry "$1"
    list_folders "$1"
}
# expect_unchanged BEFORE AFTER WHAT [--ignore KEY]...: the registry (both exports)
# and the folders are as snapshot BEFORE holds them.
expect_unchanged() {
    local before=$1 after=$2 what=$3 entry name root
    shift 3
    snapshot "$after"
    for entry in "${REGISTRY_ROOTS[@]}"; do
        name=${entry%%:*}
        root=${entry#*:}
        if ! python3 "$here/regdiff.py" "$WORK/$before-$name.reg" "$WORK/$after-$name.reg" "${ignore[@]}" "$@" \
            >"$WORK/diff-$after-$name.txt"; then
            echo "differences in $root (- $before, + $after):"
            head -n 60 "$WORK/diff-$after-$name.txt" | sed 's/^/    /'
            fail "$what: $root is not as it was"
        fi
    done
    diff "$WORK/$before-folders.txt" "$WORK/$after-folders.txt" >"$WORK/diff-$after-folders.txt" ||
        fail "$what: the folders differ: $(cat "$WORK/diff-$after-folders.txt")"
    ok "$what: registry and folders as they were"
}
# uninstall FOLDER (Windows path): the silent uninstaller of that install, then
# a restart of the prefix, which removes its temporary copy as Windows would.
uninstall() {
    local unix
    unix=$(winerun 32 winepath -u "$1" 2>/dev/null)
    winerun 32 "$1\\Uninstall.exe" /S
    local rc=$?
    [ $rc -eq 0 ] || fail "the uninstaller exited with $rc"
    # The uninstaller runs on from a copy of itself in the temporary folder, so
    # that it can delete its own file: wait for its last step.
    for i in $(seq 1 300); do
        absent 32 "$UNINSTALL" && [ ! -e "$unix" ] && [ ! -e "$dir64" ] && break
        sleep 0.2
    done
    sleep 1
}
# setup_fails WHAT ARGS...: the setup exits with a failure.
setup_fails() {
    local what=$1
    shift
    winerun 32 "$SETUP" /S "$@"
    local rc=$?
    [ $rc -ne 0 ] || fail "$what: the setup exited with 0"
    ok "$what: the setup exits with $rc"
}
# Makes every regsvr32 fail to load the server (exit code 3), as a damaged or
# blocked file would: the 64-bit registration fails after the 32-bit one, which
# the setup does in its own process, went through.
block_regsvr32() {
    winerun 32 reg add 'HKCU\Software\Wine\AppDefaults\regsvr32.exe\DllOverrides' /v MorvantisFocuser /d "" /f \
        >/dev/null 2>&1 || fail "blocking regsvr32"
}
unblock_regsvr32() { winerun 32 reg delete 'HKCU\Software\Wine\AppDefaults\regsvr32.exe' /f >/dev/null 2>&1; }

[ -f "$SETUP" ] || fail "$SETUP is not built (makensis missing, or the 32-bit tree not built first)"
for f in win32/FocuserSim.exe win32/FocuserCtl.exe win64/FocuserCtl.exe win32/MorvantisFocuser.dll \
    win64/MorvantisFocuser.dll win32/tests/file_holder.exe; do
    [ -f "$BUILD_DIR/$f" ] || fail "$BUILD_DIR/$f is not built"
done

rm -rf "$WORK"
mkdir -p "$WORK/ports"
started=$(date +%s)
wineserver -f -p >/dev/null 2>&1 &
PIDS+=($!)
winerun 32 wineboot -i >/dev/null 2>&1 || fail "creating the prefix"
WORK_WIN=$(winerun 32 winepath -w "$WORK") # where the registry exports go, as Windows names it
echo "fresh prefix $WINEPREFIX ready in $(($(date +%s) - started)) s"

# Its own null-modem pair: the simulator on COM5, the driver on COM6 (index 5).
socat pty,raw,echo=0,link="$WORK/ports/com5" pty,raw,echo=0,link="$WORK/ports/com6" >/dev/null 2>&1 &
PIDS+=($!)
for i in $(seq 1 50); do
    [ -e "$WORK/ports/com5" ] && [ -e "$WORK/ports/com6" ] && break
    sleep 0.1
done
ln -sfn "$WORK/ports/com5" "$WINEPREFIX/dosdevices/com5"
ln -sfn "$WORK/ports/com6" "$WINEPREFIX/dosdevices/com6"

# Another driver's profile, which nothing of ours may touch.
reg32 add "$OTHER" /ve /d "Other focuser" /f >/dev/null || fail "creating $OTHER"
reg32 add "$OTHER" /v COM /d 2 /f >/dev/null || fail "creating $OTHER"
snapshot before

dir32="$WINEPREFIX/drive_c/Program Files (x86)/Morvantis"
dir64="$WINEPREFIX/drive_c/Program Files/Morvantis"

echo "== silent install"
winerun 32 "$SETUP" /S
rc=$?
[ $rc -eq 0 ] || fail "the setup exited with $rc"
ok "the setup exits with 0"
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
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Morvantis Focuser"
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
[ "$(named_value 32 "$UNINSTALL" DisplayVersion)" = 1.0.0 ] || fail "DisplayVersion"
[ "$(named_value 32 "$UNINSTALL" Publisher)" = Morvantis ] || fail "Publisher"
[ -n "$(named_value 32 "$UNINSTALL" DisplayName)" ] || fail "DisplayName"
named_value 32 "$UNINSTALL" UninstallString | grep -q 'Uninstall.exe' || fail "UninstallString"
ok "installed-programs entry: DisplayName, DisplayVersion 1.0.0, Publisher, UninstallString"

# await_line LOG PATTERN WHAT: a program started in the background has written
# its ready line within 10 s, or the test fails with WHAT and what it wrote.
await_line() {
    local i
    for i in $(seq 1 100); do
        grep -q "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    fail "$3: $(cat "$1")"
}

echo "== clients of both bitnesses by ProgID"
reg32 add "$PROFILE" /v COM /d 5 /f >/dev/null && reg32 add "$PROFILE" /v MaxPos /d 20000 /f >/dev/null ||
    fail "writing the settings"
winerun 32 "$BUILD_DIR/win32/FocuserSim.exe" COM5 --no-stdin --seconds 600 >"$WORK/simulator.log" 2>&1 &
sim=$!
PIDS+=($sim)
await_line "$WORK/simulator.log" 'listening on' "the simulator did not start"
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
winerun 32 "$SETUP" /S
rc=$?
[ $rc -eq 0 ] || fail "the second setup exited with $rc"
[ "$(named_value 32 "$PROFILE" COM)" = 5 ] && [ "$(named_value 32 "$PROFILE" MaxPos)" = 4321 ] ||
    fail "the settings did not survive the upgrade: $(reg32 query "$PROFILE")"
ok "the upgrade keeps COM and MaxPos"
[ "$(default_value 32 "$PROFILE")" = Morvantis ] || fail "display name after the upgrade"
expect "the upgrade keeps both classes registered" exists 64 "HKCR\\CLSID\\$CLSID\\InprocServer32"

echo "== an upgrade whose 64-bit registration fails"
snapshot installed
block_regsvr32
setup_fails "failed upgrade"
unblock_regsvr32
# The undo step registers the earlier 32-bit server again, and the 64-bit one,
# which the blocked regsvr32 cannot load either: the type library's help folder,
# shared by both and written by the last registration, names the 32-bit folder.
helpdir=()
for classes in 'HKEY_LOCAL_MACHINE\Software\Classes' 'HKEY_LOCAL_MACHINE\Software\Classes\Wow6432Node' \
    'HKEY_LOCAL_MACHINE\Software\Wow6432Node\Classes' 'HKEY_CURRENT_USER\Software\Classes'; do
    helpdir+=(--ignore "$classes\\TypeLib\\$LIBID\\1.0\\HELPDIR")
done
expect_unchanged installed failedupgrade "after the failed upgrade" "${helpdir[@]}"
[ "$(default_value 64 "HKCR\\TypeLib\\$LIBID\\1.0\\HELPDIR")" = 'C:\Program Files (x86)\Morvantis\' ] ||
    fail "help folder after the failed upgrade"
ok "the help folder names the earlier 32-bit server's folder"
# expect_served TAG WHAT: a client of each bitness links and moves through the
# server its view registers.
expect_served() {
    local tag=$1 what=$2 bits
    for bits in 32 64; do
        winerun $bits "$BUILD_DIR/win$bits/FocuserCtl.exe" link move $((bits * 20)) unlink >"$WORK/$tag$bits.log" 2>&1 ||
            fail "the $bits-bit client $what: $(tr -d '\r' <"$WORK/$tag$bits.log")"
        ok "$bits-bit client still served $what"
    done
}
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
kill "$sim" 2>/dev/null
wait "$sim" 2>/dev/null

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

echo "== /D= into a folder of one's own"
custom='C:\Astro\Morvantis'
customdir=$WINEPREFIX/drive_c/Astro/Morvantis
winerun 32 "$SETUP" /S "/D=$custom"
rc=$?
[ $rc -eq 0 ] || fail "the setup with /D= exited with $rc"
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
winerun 32 "$SETUP" /S
rc=$?
[ $rc -eq 3 ] || fail "the setup with unwritable tools exited with $rc, not 3"
ok "the setup exits with 3 when only the tools fail"
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

echo "installer test: $checks checks passed in $(($(date +%s) - started)) s"
