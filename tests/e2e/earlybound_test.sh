#!/usr/bin/env bash
# EarlyBound, the C++ client on the IFocuser table of functions, for both
# bitnesses: a move, and the driver's error read through ISupportErrorInfo and
# GetErrorInfo (description, source and the interface's identifier).
. "$(dirname "$0")/e2e_lib.sh"
e2e_setup

# The interface definition names the interface first and the class last.
uuids=$(sed -n 's/^ *uuid(\([0-9A-Fa-f-]*\)),$/\1/p' "$E2E_REPO/contract/Focuser.idl")
iid=$(echo "$uuids" | head -n 1)
clsid=$(echo "$uuids" | tail -n 1)
for bits in $E2E_BITS; do
    o=$E2E_TMP/early$bits
    e2e_run "$o" winerun $bits "$BUILD_DIR/win$bits/EarlyBound.exe"
    e2e_expect_rc "$o" 0 "win$bits EarlyBound"
    e2e_expect_line "$o.out" "Created the Focuser class \{$clsid\}\." "win$bits creation by CLSID"
    e2e_expect_line "$o.out" 'Linked: get_Link gives -1\.' "win$bits link"
    e2e_expect_line "$o.out" "MaxStep $E2E_MAX_POS, MaxIncrement $E2E_MAX_POS, Absolute -1, Temperature 100\.0" \
        "win$bits capabilities"
    e2e_expect_line "$o.out" 'Stopped at [0-9]+ after [0-9.]+ s\.' "win$bits move"
    e2e_expect_line "$o.out" 'FAILED Move beyond MaxStep \(as intended\): code 0x80020009' "win$bits failure code"
    e2e_expect_line "$o.out" '  description: Value out of range' "win$bits error description"
    e2e_expect_line "$o.out" '  source: +Morvantis\.Focuser\.1' "win$bits error source"
    e2e_expect_line "$o.out" "  interface: +\{$iid\} \(IFocuser\)" "win$bits error interface"
    e2e_expect_line "$o.out" 'Unlinked\.' "win$bits unlink"
    e2e_last_line_is "$o.out" 'Done.' "win$bits EarlyBound"

    o=$E2E_TMP/target$bits
    e2e_run "$o" winerun $bits "$BUILD_DIR/win$bits/EarlyBound.exe" 777
    e2e_expect_rc "$o" 0 "win$bits EarlyBound 777"
    e2e_expect_line "$o.out" 'Stopped at 777 after [0-9.]+ s\.' "win$bits EarlyBound 777"
done

[ "$E2E_FAILURES" -gt 0 ] && e2e_show "$E2E_TMP"/*.out "$E2E_TMP"/*.err
e2e_finish
