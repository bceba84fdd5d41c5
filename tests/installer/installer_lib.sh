# Sourced by the setup program's tests (tests/installer/*_test.sh): each runs the
# setup in a fresh Wine prefix of its own, with its own wineserver and null-modem
# pair, another driver's profile that nothing of ours may touch, and a snapshot
# "before" of the registry and the folders. Run by scripts/test.sh; BUILD_DIR (or
# FOCUSER_BENCH_PORTS) names the build.
set -u
if [ -z "${BUILD_DIR:-}" ]; then
    : "${FOCUSER_BENCH_PORTS:?set BUILD_DIR or run through scripts/test.sh}"
    BUILD_DIR=$(dirname "$FOCUSER_BENCH_PORTS")
fi
export BUILD_DIR
here=$(cd "$(dirname "$0")" && pwd)
export PATH=$here/../../scripts/lib:$PATH
. "$here/../../scripts/lib/driver.sh"
VERSION=$(driver_version)
# The setup program is a 32-bit program: none of this runs where 32-bit code cannot.
if ! winerun --runs32; then
    echo "skipped: the setup program is a 32-bit program, and this machine runs 64-bit code only"
    exit 77
fi

SETUP=$BUILD_DIR/MorvantisFocuserSetup.exe
# Each script works in a folder and a prefix of its own, so that they run side by side.
WORK=$BUILD_DIR/installer-test/$(basename "$0" .sh)
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
# run_log Setup|Uninstall: the path of the setup's or the uninstaller's log, in
# the user's temporary folder; run_text the same: its text.
run_log() {
    local f
    for f in "$WINEPREFIX"/drive_c/users/*/Temp/MorvantisFocuser$1.log; do
        [ -f "$f" ] && break
    done
    echo "$f"
}
run_text() { { tr -d '\r' <"$(run_log "$1")"; } 2>/dev/null; }
# await_uninstalled: the uninstaller has written its log's last line. It runs on
# from a copy of itself in the temporary folder, so that it can delete its own
# file: the command that started it has ended before.
await_uninstalled() {
    local i
    for i in $(seq 1 300); do
        run_text Uninstall | grep -q '^Uninstalled from ' && break
        sleep 0.2
    done
    sleep 1
}
# uninstall FOLDER (Windows path): the silent uninstaller of that install,
# started as the installed-programs entry says (its QuietUninstallString, as
# written, from a batch file: the path in it must be quoted).
uninstall() {
    local line
    rm -f "$(run_log Uninstall)"
    line=$(named_value 32 "$UNINSTALL" QuietUninstallString)
    [ "$line" = "\"$1\\Uninstall.exe\" /S" ] || fail "QuietUninstallString is '$line'"
    printf '@%s\r\n' "$line" >"$WORK/uninstall.bat"
    winerun 32 cmd /c "$WORK_WIN\\uninstall.bat"
    local rc=$?
    [ $rc -eq 0 ] || fail "the uninstaller exited with $rc"
    await_uninstalled
}
# setup_exits CODE WHAT ARGS...: the silent setup with ARGS ends with exit code CODE.
setup_exits() {
    local code=$1 what=$2
    shift 2
    winerun 32 "$SETUP" /S "$@"
    local rc=$?
    [ $rc -eq "$code" ] || fail "$what: the setup exited with $rc, not $code"
    ok "$what: the setup exits with $code"
}
# setup_fails WHAT ARGS...: the setup fails and puts back what it changed (exit code 2).
setup_fails() { setup_exits 2 "$@"; }
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
    win64/MorvantisFocuser.dll win32/tests/file_holder.exe win32/tests/wizard_pages.exe; do
    [ -f "$BUILD_DIR/$f" ] || fail "$BUILD_DIR/$f is not built"
done

rm -rf "$WORK"
mkdir -p "$WORK/ports"
started=$(date +%s)
# A copy of the bench's pristine prefix (made once by wineboot, never used itself).
(. "$here/../../scripts/lib/bench.sh" && bench_clone_prefix "$WINEPREFIX") || fail "creating the prefix"
wineserver -f -p >/dev/null 2>&1 &
PIDS+=($!)
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
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Morvantis Focuser"

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

# start_simulator: the settings on COM6 (MaxPos 20000) and the simulator on COM5.
start_simulator() {
    reg32 add "$PROFILE" /v COM /d 5 /f >/dev/null && reg32 add "$PROFILE" /v MaxPos /d 20000 /f >/dev/null ||
        fail "writing the settings"
    winerun 32 "$BUILD_DIR/win32/FocuserSim.exe" COM5 --no-stdin --seconds 600 >"$WORK/simulator.log" 2>&1 &
    sim=$!
    PIDS+=($sim)
    await_line "$WORK/simulator.log" 'listening on' "the simulator did not start"
}
stop_simulator() {
    kill "$sim" 2>/dev/null
    wait "$sim" 2>/dev/null
}

# A failed upgrade's undo registers the earlier 32-bit server last: the type
# library's help folder, shared by both servers and written by the last
# registration, may then name the 32-bit folder: expect_unchanged "${helpdir[@]}"
# leaves it out after one.
helpdir=()
for classes in 'HKEY_LOCAL_MACHINE\Software\Classes' 'HKEY_LOCAL_MACHINE\Software\Classes\Wow6432Node' \
    'HKEY_LOCAL_MACHINE\Software\Wow6432Node\Classes' 'HKEY_CURRENT_USER\Software\Classes'; do
    helpdir+=(--ignore "$classes\\TypeLib\\$LIBID\\1.0\\HELPDIR")
done
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

# installer_done: the script's last line.
installer_done() { echo "$(basename "$0" .sh): $checks checks passed in $(($(date +%s) - started)) s"; }

