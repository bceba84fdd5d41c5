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
version=$(driver_version | sed 's/\./\\./g')
problem='problem '
# Where 32-bit code cannot run, the 32-bit server cannot be registered: every
# doctor run then adds its two problems (class, type library).
unregistered32=0
[ "$E2E_BITS" = 64 ] && unregistered32=2
# found N / status N: doctor's last line and exit status for N problems of the case.
found() {
    local n=$(($1 + unregistered32))
    case $n in 0) echo "All checks passed." ;; 1) echo "1 problem found." ;; *) echo "$n problems found." ;; esac
}
status() { [ $(($1 + unregistered32)) -eq 0 ] && echo 0 || echo 1; }
for bits in $E2E_BITS; do
    o=$E2E_TMP/healthy$bits
    e2e_run "$o" winerun $bits "$BUILD_DIR/win$bits/FocuserCtl.exe" doctor --move 300
    for view in $E2E_BITS; do
        e2e_expect_line "$o.out" "${ok}$view-bit class: server .*.win$view.[^ ]+\.(dll|DLL), version $version" \
            "win$bits healthy"
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
    e2e_expect_rc "$o" "$(status 0)" "win$bits healthy"
    [ $unregistered32 = 0 ] && e2e_expect_no_line "$o.out" "${problem}.*" "win$bits healthy"
    e2e_last_line_is "$o.out" "$(found 0)" "win$bits healthy"
    # Into a file: no colour codes and nothing drawn over in place.
    if [ "$(tr -cd '\033' <"$o.raw" | wc -c)" -ne 0 ]; then e2e_fail "win$bits: escape codes in a file"; fi
done

# The stored texts as they are and as the driver uses them (held to its bounds).
driver_settings 5x 7
o=$E2E_TMP/clamped
e2e_run "$o" winerun $E2E_MAIN "$BUILD_DIR/win$E2E_MAIN/FocuserCtl.exe" doctor
e2e_expect_line "$o.out" "${ok}settings: COM \"5x\" -> COM6, MaxPos \"7\" -> 10" "clamped settings"
e2e_expect_rc "$o" "$(status 0)" "clamped settings"

# A missing port (COM3 is never mapped on the bench), then a silent one (COM8's
# partner COM7 has no simulator).
driver_settings 2 $E2E_MAX_POS
o=$E2E_TMP/noport
e2e_run "$o" winerun 64 "$BUILD_DIR/win64/FocuserCtl.exe" doctor
e2e_expect_rc "$o" 1 "missing port"
e2e_expect_line "$o.out" "${problem}port: COM3 does not exist\. To do: plug in .*find-port.*" "missing port"
e2e_expect_no_line "$o.out" ".*controller:.*" "missing port"
e2e_last_line_is "$o.out" "$(found 1)" "missing port"
driver_settings 7 $E2E_MAX_POS
o=$E2E_TMP/silent
e2e_run "$o" winerun $E2E_MAIN "$BUILD_DIR/win$E2E_MAIN/FocuserCtl.exe" doctor
e2e_expect_rc "$o" 1 "silent controller"
e2e_expect_line "$o.out" "${ok}port: COM8 opens" "silent controller"
e2e_expect_line "$o.out" "${problem}controller: nothing answered the handshake on COM8\. To do: check .*" \
    "silent controller"
driver_settings $E2E_DRIVER_INDEX $E2E_MAX_POS

# One bitness unregistered: the other one's lines stay ok.
if ! driver_skip_32 "64-bit server unregistered, seen by the 32-bit doctor"; then
driver_unregister 64
o=$E2E_TMP/no64
e2e_run "$o" winerun 32 "$BUILD_DIR/win32/FocuserCtl.exe" doctor
e2e_expect_rc "$o" 1 "64-bit unregistered"
e2e_expect_line "$o.out" "${problem}64-bit class: CLSID .* is not registered for 64-bit programs\. To do: .*System32\\\\regsvr32.*" \
    "64-bit unregistered"
e2e_expect_line "$o.out" "${problem}64-bit type library: not registered for 64-bit programs\..*" "64-bit unregistered"
e2e_expect_line "$o.out" "${ok}32-bit class: server .*" "64-bit unregistered"
e2e_expect_line "$o.out" "${ok}controller: .*" "64-bit unregistered"
e2e_last_line_is "$o.out" "2 problems found." "64-bit unregistered"
driver_register 64
fi

# No profile key: the chooser would not list the driver. Doctor must not create it.
driver_save_settings "$E2E_TMP/before-delete.reg"
driver_reg delete "$DRIVER_PROFILE_KEY" /f
o=$E2E_TMP/nokey
e2e_run "$o" winerun 64 "$BUILD_DIR/win64/FocuserCtl.exe" doctor
e2e_expect_rc "$o" 1 "no profile key"
e2e_expect_line "$o.out" "${problem}profile key: .* is missing, so astronomy programs' chooser does not list the driver\..*" \
    "no profile key"
e2e_expect_line "$o.out" "${ok}settings: none stored; the driver will use COM1 and MaxPos 10000" "no profile key"
if winerun 64 reg query "$DRIVER_PROFILE_KEY" /reg:32 >/dev/null 2>&1; then e2e_fail "doctor created the profile key"; fi
driver_restore_settings "$E2E_TMP/before-delete.reg"

# The outbound leg stalls (the controller falls silent after 100 steps): the
# return is still tried, and both legs are reported.
driver_sim_stop
driver_sim_start $E2E_SIM_PORT "$E2E_TMP/sim.log" --position 1000 --stall-steps 100 || exit 1
o=$E2E_TMP/stalled
e2e_run "$o" winerun 64 "$BUILD_DIR/win64/FocuserCtl.exe" doctor --move 300
e2e_expect_rc "$o" 1 "stalled move"
e2e_expect_line "$o.out" "${problem}move: the move of 300 steps to 1300 did not finish; the return to 1000 ended at 1000\. To do: check the focuser's mechanics and cable\." \
    "stalled move"

# Near 0 in a range narrower than the move: up to MaxStep and back, not down past 0.
driver_settings $E2E_DRIVER_INDEX 200
driver_sim_stop
driver_sim_start $E2E_SIM_PORT "$E2E_TMP/sim.log" --position 50 || exit 1
o=$E2E_TMP/nearzero
e2e_run "$o" winerun $E2E_MAIN "$BUILD_DIR/win$E2E_MAIN/FocuserCtl.exe" doctor --move 300
e2e_expect_rc "$o" "$(status 0)" "move near 0"
e2e_expect_line "$o.out" "${ok}move: to 200 and back to 50" "move near 0"
driver_settings $E2E_DRIVER_INDEX $E2E_MAX_POS

[ "$E2E_FAILURES" -gt 0 ] && e2e_show "$E2E_TMP"/*.out "$E2E_TMP"/*.err
e2e_finish
