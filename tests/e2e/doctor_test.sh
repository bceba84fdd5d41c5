#!/usr/bin/env bash
# FocuserCtl doctor against a healthy setup in both bitnesses, then against each
# problem it names that the bench can make: one bitness not registered, no
# profile key, a port that does not exist, a controller that does not answer.
# Each gives its own problem line and exit status 1. (A port held by another
# program cannot be made under Wine, which does not refuse a second open; the
# mapping of CreateFile's errors is tested in tests/tools.)
. "$(dirname "$0")/e2e_lib.sh"
e2e_setup

ok='ok      '
problem='problem '
for bits in 32 64; do
    o=$E2E_TMP/healthy$bits
    e2e_run "$o" wine "$BUILD_DIR/win$bits/FocuserCtl.exe" doctor --move 300
    e2e_expect_rc "$o" 0 "win$bits healthy"
    for view in 32 64; do
        e2e_expect_line "$o.out" "${ok}$view-bit class: server .*.win$view.[^ ]+\.(dll|DLL)" "win$bits healthy"
        e2e_expect_line "$o.out" "${ok}$view-bit type library: .*.win$view.MorvantisFocuser\.dll" "win$bits healthy"
    done
    e2e_expect_line "$o.out" "${ok}ProgID: Morvantis\.Focuser -> \{[0-9A-F-]+\}" "win$bits healthy"
    e2e_expect_line "$o.out" "${ok}$bits-bit object: Morvantis\.Focuser created in this program" "win$bits healthy"
    e2e_expect_line "$o.out" "${ok}profile key: display name \"Morvantis\"" "win$bits healthy"
    e2e_expect_line "$o.out" "${ok}settings: COM \"$E2E_DRIVER_INDEX\" -> COM6, MaxPos \"$E2E_MAX_POS\" -> $E2E_MAX_POS" \
        "win$bits healthy"
    e2e_expect_line "$o.out" "${ok}settings rights: this user may change them" "win$bits healthy"
    e2e_expect_line "$o.out" "${ok}port: COM6 opens" "win$bits healthy"
    e2e_expect_line "$o.out" "${ok}controller: the handshake answered \"010200\"" "win$bits healthy"
    e2e_expect_line "$o.out" "${ok}position: [0-9]+" "win$bits healthy"
    e2e_expect_line "$o.out" "${ok}move: to [0-9]+ and back to [0-9]+" "win$bits healthy"
    e2e_expect_no_line "$o.out" "${problem}.*" "win$bits healthy"
    e2e_last_line_is "$o.out" "All checks passed." "win$bits healthy"
    # Into a file: no colour codes and nothing drawn over in place.
    if [ "$(tr -cd '\033' <"$o.raw" | wc -c)" -ne 0 ]; then e2e_fail "win$bits: escape codes in a file"; fi
done

# The stored texts as they are and as the driver uses them (held to its bounds).
driver_settings 5x 7
o=$E2E_TMP/clamped
e2e_run "$o" wine "$BUILD_DIR/win32/FocuserCtl.exe" doctor
e2e_expect_line "$o.out" "${ok}settings: COM \"5x\" -> COM6, MaxPos \"7\" -> 10" "clamped settings"
e2e_expect_rc "$o" 0 "clamped settings"

# A missing port (COM3 is never mapped on the bench), then a silent one (COM8's
# partner COM7 has no simulator).
driver_settings 2 $E2E_MAX_POS
o=$E2E_TMP/noport
e2e_run "$o" wine "$BUILD_DIR/win64/FocuserCtl.exe" doctor
e2e_expect_rc "$o" 1 "missing port"
e2e_expect_line "$o.out" "${problem}port: COM3 does not exist\. To do: plug in .*find-port.*" "missing port"
e2e_expect_no_line "$o.out" ".*controller:.*" "missing port"
e2e_last_line_is "$o.out" "1 problem found." "missing port"
driver_settings 7 $E2E_MAX_POS
o=$E2E_TMP/silent
e2e_run "$o" wine "$BUILD_DIR/win32/FocuserCtl.exe" doctor
e2e_expect_rc "$o" 1 "silent controller"
e2e_expect_line "$o.out" "${ok}port: COM8 opens" "silent controller"
e2e_expect_line "$o.out" "${problem}controller: nothing answered the handshake on COM8\. To do: check .*" \
    "silent controller"
driver_settings $E2E_DRIVER_INDEX $E2E_MAX_POS

# One bitness unregistered: the other one's lines stay ok.
driver_unregister 64
o=$E2E_TMP/no64
e2e_run "$o" wine "$BUILD_DIR/win32/FocuserCtl.exe" doctor
e2e_expect_rc "$o" 1 "64-bit unregistered"
e2e_expect_line "$o.out" "${problem}64-bit class: CLSID .* is not registered for 64-bit programs\. To do: .*System32\\\\regsvr32.*" \
    "64-bit unregistered"
e2e_expect_line "$o.out" "${problem}64-bit type library: not registered for 64-bit programs\..*" "64-bit unregistered"
e2e_expect_line "$o.out" "${ok}32-bit class: server .*" "64-bit unregistered"
e2e_expect_line "$o.out" "${ok}controller: .*" "64-bit unregistered"
e2e_last_line_is "$o.out" "2 problems found." "64-bit unregistered"
driver_register 64

# No profile key: the chooser would not list the driver. Doctor must not create it.
driver_save_settings "$E2E_TMP/before-delete.reg"
driver_reg delete "$DRIVER_PROFILE_KEY" /f
o=$E2E_TMP/nokey
e2e_run "$o" wine "$BUILD_DIR/win64/FocuserCtl.exe" doctor
e2e_expect_rc "$o" 1 "no profile key"
e2e_expect_line "$o.out" "${problem}profile key: .* is missing, so astronomy programs' chooser does not list the driver\..*" \
    "no profile key"
e2e_expect_line "$o.out" "${ok}settings: none stored; the driver will use COM1 and MaxPos 10000" "no profile key"
if wine reg query "$DRIVER_PROFILE_KEY" /reg:32 >/dev/null 2>&1; then e2e_fail "doctor created the profile key"; fi
driver_restore_settings "$E2E_TMP/before-delete.reg"

# The outbound leg stalls (the controller falls silent after 100 steps): the
# return is still tried, and both legs are reported.
driver_sim_stop
driver_sim_start $E2E_SIM_PORT "$E2E_TMP/sim.log" --position 1000 --stall-steps 100 || exit 1
o=$E2E_TMP/stalled
e2e_run "$o" wine "$BUILD_DIR/win64/FocuserCtl.exe" doctor --move 300
e2e_expect_rc "$o" 1 "stalled move"
e2e_expect_line "$o.out" "${problem}move: the move of 300 steps to 1300 did not finish; the return to 1000 ended at 1000\. To do: check the focuser's mechanics and cable\." \
    "stalled move"

# Near 0 in a range narrower than the move: up to MaxStep and back, not down past 0.
driver_settings $E2E_DRIVER_INDEX 200
driver_sim_stop
driver_sim_start $E2E_SIM_PORT "$E2E_TMP/sim.log" --position 50 || exit 1
o=$E2E_TMP/nearzero
e2e_run "$o" wine "$BUILD_DIR/win32/FocuserCtl.exe" doctor --move 300
e2e_expect_rc "$o" 0 "move near 0"
e2e_expect_line "$o.out" "${ok}move: to 200 and back to 50" "move near 0"
driver_settings $E2E_DRIVER_INDEX $E2E_MAX_POS

[ "$E2E_FAILURES" -gt 0 ] && e2e_show "$E2E_TMP"/*.out "$E2E_TMP"/*.err
e2e_finish
