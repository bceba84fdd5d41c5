#!/usr/bin/env bash
# The VBScript sample (examples/focuser.vbs) under 32-bit cscript against the
# 32-bit server and under 64-bit cscript against the 64-bit one. cscript ends
# silently with status 0 on an uncaught error, so the END line is required.
. "$(dirname "$0")/e2e_lib.sh"
e2e_setup

script=$(cscript_path "$E2E_REPO/examples/focuser.vbs")
for bits in $E2E_BITS; do
    o=$E2E_TMP/sample$bits
    e2e_run "$o" winerun $bits cscript //nologo "$script"
    e2e_last_line_is "$o.out" END "win$bits sample"
    e2e_expect_rc "$o" 0 "win$bits sample"
    e2e_expect_line "$o.out" 'Linked: True' "win$bits link"
    e2e_expect_line "$o.out" "Absolute: True, MaxStep: $E2E_MAX_POS, MaxIncrement: $E2E_MAX_POS" "win$bits limits"
    e2e_expect_line "$o.out" 'TempCompAvailable: False, Temperature: 100' "win$bits capabilities"
    e2e_expect_line "$o.out" 'Stopped at [0-9]+ after [0-9.]+ s' "win$bits move"
    e2e_expect_line "$o.out" '  Err\.Number: +-2147352567 \(&H80020009\)' "win$bits Err.Number"
    e2e_expect_line "$o.out" '  Err\.Description: Value out of range' "win$bits Err.Description"
    e2e_expect_line "$o.out" '  Err\.Source: +Morvantis\.Focuser\.1' "win$bits Err.Source"
    e2e_expect_line "$o.out" 'Unlinked: Link is False' "win$bits unlink"
    e2e_expect_line "$o.out" 'Done\.' "win$bits done"
    e2e_expect_no_line "$o.out" 'FAILED.*' "win$bits sample"

    # An explicit target, and the position it reaches.
    o=$E2E_TMP/target$bits
    e2e_run "$o" winerun $bits cscript //nologo "$script" 1234
    e2e_expect_rc "$o" 0 "win$bits sample with a target"
    e2e_expect_line "$o.out" 'Stopped at 1234 after [0-9.]+ s' "win$bits sample with a target"
done

# A link failure reaches the script as an error it can print, and END still comes.
driver_settings 0 $E2E_MAX_POS
for bits in $E2E_BITS; do
    o=$E2E_TMP/noport$bits
    e2e_run "$o" winerun $bits cscript //nologo "$script"
    e2e_last_line_is "$o.out" END "win$bits sample, missing port"
    e2e_expect_rc "$o" 1 "win$bits sample, missing port"
    e2e_expect_line "$o.out" \
        'FAILED linking: Could not open port //\./COM1 \(Err\.Number -2147352567, Err\.Source Morvantis\.Focuser\.1\)' \
        "win$bits sample, missing port"
done

[ "$E2E_FAILURES" -gt 0 ] && e2e_show "$E2E_TMP"/*.out "$E2E_TMP"/*.err
e2e_finish
