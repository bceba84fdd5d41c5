#!/usr/bin/env bash
# The conformance checker's sequence for a version-1 focuser (conform.vbs), late
# bound, under 32-bit and 64-bit cscript.
. "$(dirname "$0")/e2e_lib.sh"
e2e_setup

script=$(cscript_path "$E2E_DIR/conform.vbs")
for bits in $E2E_BITS; do
    o=$E2E_TMP/conform$bits
    e2e_run "$o" winerun $bits cscript //nologo "$script"
    e2e_last_line_is "$o.out" END "win$bits conformance"
    e2e_expect_rc "$o" 0 "win$bits conformance"
    e2e_expect_line "$o.out" 'RESULT 21 passed, 0 failed' "win$bits conformance"
    grep '^FAIL' "$o.out" | sed "s/^/win$bits: /"
done

[ "$E2E_FAILURES" -gt 0 ] && e2e_show "$E2E_TMP"/*.out "$E2E_TMP"/*.err
e2e_finish
