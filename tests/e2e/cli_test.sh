#!/usr/bin/env bash
# FocuserCtl, the late-bound command-line client, against the registered servers
# of both bitnesses and the simulator: a whole session, and the failures a user
# meets, each with the driver's own message, its source and a non-zero status.
. "$(dirname "$0")/e2e_lib.sh"
e2e_setup

for bits in $E2E_BITS; do
    ctl="$BUILD_DIR/win$bits/FocuserCtl.exe"
    o=$E2E_TMP/session$bits
    e2e_run "$o" winerun $bits "$ctl" link status move 0 move 1500 start 0 sleep 300 halt wait position unlink
    e2e_expect_rc "$o" 0 "win$bits session"
    e2e_expect_line "$o.out" 'Linked\.' "win$bits link"
    e2e_expect_line "$o.out" '  Link: +on' "win$bits status"
    e2e_expect_line "$o.out" '  Position: +[0-9]+' "win$bits status"
    e2e_expect_line "$o.out" '  IsMoving: +false' "win$bits status"
    e2e_expect_line "$o.out" "  MaxStep: +$E2E_MAX_POS" "win$bits status"
    e2e_expect_line "$o.out" "  MaxIncrement: +$E2E_MAX_POS" "win$bits status"
    e2e_expect_line "$o.out" '  Absolute: +true' "win$bits status"
    e2e_expect_line "$o.out" '  TempCompAvailable: +false' "win$bits status"
    e2e_expect_line "$o.out" '  TempComp: +false' "win$bits status"
    e2e_expect_line "$o.out" '  Temperature: +100\.0' "win$bits status"
    e2e_expect_line "$o.out" '  StepSize: +not available \(Not supported by focuser\)' "win$bits status"
    # Into a file the progress comes as plain lines, the first one at once.
    e2e_expect_line "$o.out" 'Moving to 1500 \.\.\. 0\.[0-9] s' "win$bits progress"
    e2e_expect_line "$o.out" 'Moving to 1500 \.\.\. 1\.[0-9] s' "win$bits progress"
    # Updating in place (a carriage return without a line feed) is for consoles only.
    if [ "$(sed 's/\r$//' "$o.raw" | tr -cd '\r' | wc -c)" -ne 0 ]; then
        e2e_fail "win$bits: progress redrawn in place although stdout is a file"
    fi
    # 1500 steps at the simulator's 1000 steps per second.
    arrived=$(sed -n 's/^Arrived at 1500 after \([0-9.]*\) s\.$/\1/p' "$o.out")
    if [ -z "$arrived" ]; then
        e2e_fail "win$bits: no arrival at 1500"
    elif ! awk -v s="$arrived" 'BEGIN { exit !(s >= 1.2 && s <= 15) }'; then
        e2e_fail "win$bits: the move of 1500 steps took $arrived s, expected 1.2 to 15"
    fi
    e2e_expect_line "$o.out" 'Started a move to 0\.' "win$bits start"
    e2e_expect_line "$o.out" 'Halted\.' "win$bits halt"
    halted=$(sed -n 's/^Stopped at \([0-9]*\) after [0-9.]* s (target 0)\.$/\1/p' "$o.out")
    if [ -z "$halted" ] || [ "$halted" -le 0 ] || [ "$halted" -ge 1500 ]; then
        e2e_fail "win$bits: the halted move should stop between 0 and 1500, got '${halted}'"
    else
        e2e_expect_line "$o.out" "Position: $halted" "win$bits position after the halt"
    fi
    e2e_expect_line "$o.out" 'Unlinked\.' "win$bits unlink"
    [ -s "$o.err" ] && e2e_fail "win$bits session wrote to stderr"

    # Failures: the driver's message and source, status 1, and no later command run.
    source_part='\(source Morvantis\.Focuser\.1, code 0x80020009\)'
    o=$E2E_TMP/range$bits
    e2e_run "$o" winerun $bits "$ctl" link move $((E2E_MAX_POS + 1)) unlink
    e2e_expect_rc "$o" 1 "win$bits move beyond MaxStep"
    e2e_expect_line "$o.err" "FocuserCtl: move to $((E2E_MAX_POS + 1)) failed: Value out of range $source_part" \
        "win$bits move beyond MaxStep"
    e2e_expect_no_line "$o.out" 'Unlinked\.' "win$bits commands after a failure"

    o=$E2E_TMP/negative$bits
    e2e_run "$o" winerun $bits "$ctl" move -1
    e2e_expect_rc "$o" 1 "win$bits move -1 unlinked"
    e2e_expect_line "$o.err" "FocuserCtl: move to -1 failed: Value out of range $source_part" "win$bits move -1"

    o=$E2E_TMP/unlinked$bits
    e2e_run "$o" winerun $bits "$ctl" move 100
    e2e_expect_rc "$o" 1 "win$bits move unlinked"
    e2e_expect_line "$o.err" "FocuserCtl: move to 100 failed: Link fail $source_part" "win$bits move unlinked"

    o=$E2E_TMP/progid$bits
    e2e_run "$o" winerun $bits "$ctl" --progid Nobody.NoFocuser status
    e2e_expect_rc "$o" 1 "win$bits unknown ProgID"
    e2e_expect_line "$o.err" 'FocuserCtl: creating Nobody\.NoFocuser failed: no class is registered as Nobody\.NoFocuser.*' \
        "win$bits unknown ProgID"

    o=$E2E_TMP/usage$bits
    e2e_run "$o" winerun $bits "$ctl" move soon
    e2e_expect_rc "$o" 2 "win$bits usage mistake"
    e2e_run "$o" winerun $bits "$ctl" --help
    e2e_expect_rc "$o" 0 "win$bits --help"
    e2e_expect_line "$o.out" 'Usage: FocuserCtl .*' "win$bits --help"
    e2e_run "$o" winerun $bits "$ctl" --version
    e2e_expect_rc "$o" 0 "win$bits --version"
    e2e_expect_line "$o.out" "FocuserCtl $(driver_version | sed 's/\./\\./g')" "win$bits --version"
done

# A port that does not exist: COM1 (index 0) is never mapped on the bench.
driver_settings 0 $E2E_MAX_POS
for bits in $E2E_BITS; do
    o=$E2E_TMP/noport$bits
    e2e_run "$o" winerun $bits "$BUILD_DIR/win$bits/FocuserCtl.exe" link status
    e2e_expect_rc "$o" 1 "win$bits link to a missing port"
    e2e_expect_line "$o.err" "FocuserCtl: link failed: Could not open port //\./COM1 $source_part" \
        "win$bits link to a missing port"
done
driver_settings $E2E_DRIVER_INDEX $E2E_MAX_POS

[ "$E2E_FAILURES" -gt 0 ] && e2e_show "$E2E_TMP"/*.out "$E2E_TMP"/*.err
e2e_finish
