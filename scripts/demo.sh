#!/usr/bin/env bash
# The Morvantis focuser driver end to end on Linux: installs what is missing
# (Debian, as root), builds the 32-bit and 64-bit servers, registers both in a
# Wine prefix of its own, starts the controller simulator on one end of a
# null-modem pair, points the driver at the other end, and runs a session with
# each client: the command-line client of both bitnesses and the VBScript sample
# under 32-bit and 64-bit cscript. On a machine that runs 64-bit code only (or
# with FOCUSER_BENCH_64_ONLY=1) it registers the 64-bit server alone, writes the
# profile key itself (the setup program is a 32-bit program), and runs the
# 64-bit sessions. Everything it started is stopped at the end.
# Usage: scripts/demo.sh   (BUILD_DIR=<folder> to build elsewhere than ./build)
set -u
. "$(dirname "$0")/lib/bench.sh"
. "$(dirname "$0")/lib/driver.sh"
bench_trap

export WINEPREFIX=$BUILD_DIR/demo-prefix
export WINEDEBUG=-all
SIM_PORT=COM5
DRIVER_INDEX=5 # COM6, the other end of the pair
MAX_POS=20000
LOG_DIR=$BUILD_DIR/demo-logs

say() { printf '%s\n' "$*"; }
step() { printf '\n== %s\n' "$*"; }
fail() {
    printf '\nDemo FAILED: %s\n' "$*"
    [ -d "$LOG_DIR" ] && printf 'Logs: %s\n' "$LOG_DIR"
    exit 1
}

# Wine's own diagnostics are not part of the story; the clients' messages are.
wine_quiet() {
    local err=$LOG_DIR/stderr.tmp rc
    "$@" 2>"$err"
    rc=$?
    tr -d '\r' <"$err" | grep -Ev '^([0-9a-f]{4}:)?(fixme|err|warn|trace):|^wine: |^Wine ' >&2
    return $rc
}

# The setup program installs the driver as a user gets it: the profile key with
# its display name, both servers copied to the Program Files folders of their
# bitness and registered by the regsvr32 of that bitness.
register_driver() {
    local setup=$BUILD_DIR/MorvantisFocuserSetup.exe
    [ -f "$setup" ] || { say "$setup was not built (is makensis installed?)"; return 1; }
    winerun 32 "$setup" /S >/dev/null 2>&1 || { say "the setup $setup failed"; return 1; }
}

# Where 32-bit code cannot run: what the setup program would do for the 64-bit
# server, by hand. The profile key first, so that registration names it.
register_64bit_driver() {
    driver_reg add "$DRIVER_PROFILE_KEY" /f || { say "creating the profile key failed"; return 1; }
    driver_register 64 || { say "the 64-bit regsvr32 of $(driver_dll 64) failed"; return 1; }
}

# Prints a client's output indented, as it comes.
indent() { sed -u 's/\r$//; s/^/    /'; }

say "Morvantis focuser driver demo"

step "Tools and build"
bench_install || fail "installing the Debian packages"
bench_probe
mkdir -p "$BUILD_DIR"
mkdir -p "$LOG_DIR"
bench_build >"$LOG_DIR/build.log" 2>&1 || { tail -n 30 "$LOG_DIR/build.log"; fail "the build (log: $LOG_DIR/build.log)"; }
for bits in 32 64; do
    [ -f "$(driver_dll $bits)" ] || fail "the build made no $(driver_dll $bits)"
    say "Built the $bits-bit server $(driver_dll $bits)"
done

step "Wine prefix"
bench_start_wine || fail "preparing the Wine prefix"
bench_pair 5 6
say "Prefix $WINEPREFIX, with COM5 and COM6 joined by a null-modem cable (socat)"

step "Registration"
if [ "$BENCH_RUNS32" = 1 ]; then
    register_driver || fail "registering the driver"
    say "Installed both servers with MorvantisFocuserSetup.exe /S (ProgID Morvantis.Focuser)"
else
    register_64bit_driver || fail "registering the driver"
    say "Registered the 64-bit server with the 64-bit regsvr32 (ProgID Morvantis.Focuser); the setup program is a 32-bit program and was left out"
fi
name=$(driver_display_name)
[ "$name" = Morvantis ] || fail "the profile key's display name is '$name', not Morvantis"
say "Profile key $DRIVER_PROFILE_KEY: display name \"$name\""
driver_settings $DRIVER_INDEX $MAX_POS || fail "writing the driver's settings"
say "Settings: COM=$DRIVER_INDEX (COM$((DRIVER_INDEX + 1))), MaxPos=$MAX_POS"

step "Controller simulator"
driver_sim_start $SIM_PORT "$LOG_DIR/simulator.log" || fail "starting the simulator"
say "FocuserSim.exe listens on $SIM_PORT at position 0, 1000 steps per second (log: $LOG_DIR/simulator.log)"

sessions=0
left_out=()
# run_session BITS WHAT COMMAND...: one client session; a 32-bit one is left out
# where 32-bit code cannot run.
run_session() {
    local bits=$1 what=$2
    shift 2
    if [ "$bits" = 32 ] && [ "$BENCH_RUNS32" = 0 ]; then
        left_out+=("$what")
        return 0
    fi
    step "$what"
    wine_quiet "$@" | indent
    local rc=${PIPESTATUS[0]}
    [ "$rc" -eq 0 ] || fail "$what ended with status $rc"
    sessions=$((sessions + 1))
}

ctl32=$BUILD_DIR/win32/FocuserCtl.exe
ctl64=$BUILD_DIR/win64/FocuserCtl.exe
vbs=$(driver_winpath "$REPO_DIR/examples/focuser.vbs")
run_session 32 "32-bit command-line client: FocuserCtl link status move 3000 start 0 sleep 700 halt wait unlink" \
    winerun 32 "$ctl32" link status move 3000 start 0 sleep 700 halt wait unlink
run_session 64 "64-bit command-line client: FocuserCtl link position move 6000 position unlink" \
    winerun 64 "$ctl64" link position move 6000 position unlink
run_session 32 "VBScript sample under 32-bit cscript: examples/focuser.vbs" \
    winerun 32 cscript //nologo "$vbs"
run_session 64 "VBScript sample under 64-bit cscript: examples/focuser.vbs" \
    winerun 64 cscript //nologo "$vbs"
if [ ${#left_out[@]} -gt 0 ]; then
    step "Left out"
    for what in "${left_out[@]}"; do say "$what: this machine runs 64-bit code only"; done
fi

step "Shutting down"
driver_sim_stop
frames=$(grep -c ' RX ' "$LOG_DIR/simulator.log")
say "The simulator received $frames frames from the driver; $(tail -n 1 "$LOG_DIR/simulator.log" | tr -d '\r' | sed 's/^[0-9]* //')"
bench_cleanup
say "Stopped the null-modem pair and the Wine server; the servers stay registered in $WINEPREFIX"

if [ "$BENCH_RUNS32" = 1 ]; then
    printf '\nDemo succeeded: both servers registered; %d client sessions (FocuserCtl and the VBScript sample, 32-bit and 64-bit) linked, moved and unlinked the simulated focuser.\n' "$sessions"
else
    printf '\nDemo succeeded: the 64-bit server registered; %d client sessions (the 64-bit FocuserCtl and the VBScript sample under 64-bit cscript) linked, moved and unlinked the simulated focuser; %d 32-bit sessions and the setup program left out (this machine runs 64-bit code only).\n' \
        "$sessions" "${#left_out[@]}"
fi
