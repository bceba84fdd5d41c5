#!/usr/bin/env bash
# FocuserCtl setup: the driver's modal setup dialog opened through late binding
# from a console program, for both bitnesses. It shows the stored settings; OK
# saves the choice (used at the next link), Cancel saves nothing.
. "$(dirname "$0")/e2e_lib.sh"
[ -n "${DISPLAY:-}" ] || { echo "no DISPLAY: the bench starts Xvfb"; exit 1; }
e2e_setup

user="$BUILD_DIR/win$E2E_MAIN/tests/SetupDialogDriver.exe"
settings() { winerun 64 reg query "$DRIVER_PROFILE_KEY" /reg:32 2>/dev/null | tr -d '\r' >"$1"; }

# start_setup BITS EXE OUT: FocuserCtl setup runs in the background while
# SetupDialogDriver plays the user; it must end within 10 s of the dialog
# closing, or it is stopped by its pid.
start_setup() {
    winerun "$1" "$2" setup >"$3.raw" 2>"$3.rawerr" &
    ctlpid=$!
}
finish_setup() {
    local o=$1 i
    for i in $(seq 1 100); do
        kill -0 $ctlpid 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 $ctlpid 2>/dev/null; then
        kill -TERM $ctlpid
        e2e_fail "FocuserCtl setup still running 10 s after the dialog closed"
    fi
    wait $ctlpid
    echo $? >"$o.rc"
    tr -d '\r' <"$o.raw" >"$o.out"
    tr -d '\r' <"$o.rawerr" >"$o.err"
}

for bits in $E2E_BITS; do
    ctl="$BUILD_DIR/win$bits/FocuserCtl.exe"

    # OK saves: the same port, another maximum position.
    driver_settings $E2E_DRIVER_INDEX $E2E_MAX_POS
    o=$E2E_TMP/ok$bits
    start_setup $bits "$ctl" "$o"
    e2e_run "$o.user" winerun $E2E_MAIN "$user" $E2E_DRIVER_INDEX 12345 ok
    finish_setup "$o"
    e2e_expect_rc "$o.user" 0 "win$bits dialog shown and closed with OK"
    e2e_expect_line "$o.user.out" \
        "shown: port index $E2E_DRIVER_INDEX \(COM$((E2E_DRIVER_INDEX + 1))\) of 25 entries, max position $E2E_MAX_POS" \
        "win$bits dialog shows the stored settings"
    e2e_expect_rc "$o" 0 "win$bits FocuserCtl setup"
    e2e_expect_line "$o.out" 'Setup dialog closed; saved settings apply at the next link\.' "win$bits FocuserCtl setup"
    settings "$o.key"
    e2e_expect_line "$o.key" " +COM +REG_SZ +$E2E_DRIVER_INDEX" "win$bits port saved by OK"
    e2e_expect_line "$o.key" ' +MaxPos +REG_SZ +12345' "win$bits maximum position saved by OK"

    o=$E2E_TMP/linked$bits
    e2e_run "$o" winerun $bits "$ctl" link status unlink
    e2e_expect_rc "$o" 0 "win$bits link after setup"
    e2e_expect_line "$o.out" '  MaxStep: +12345' "win$bits saved maximum position used at the next link"

    # Cancel saves nothing.
    o=$E2E_TMP/cancel$bits
    start_setup $bits "$ctl" "$o"
    e2e_run "$o.user" winerun $E2E_MAIN "$user" 9 777 cancel
    finish_setup "$o"
    e2e_expect_rc "$o.user" 0 "win$bits dialog closed with Cancel"
    e2e_expect_rc "$o" 0 "win$bits FocuserCtl setup, cancelled"
    settings "$o.key"
    e2e_expect_line "$o.key" " +COM +REG_SZ +$E2E_DRIVER_INDEX" "win$bits port kept by Cancel"
    e2e_expect_line "$o.key" ' +MaxPos +REG_SZ +12345' "win$bits maximum position kept by Cancel"
done

[ "$E2E_FAILURES" -gt 0 ] && e2e_show "$E2E_TMP"/*.out "$E2E_TMP"/*.err
e2e_finish
