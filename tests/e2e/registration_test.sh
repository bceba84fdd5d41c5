#!/usr/bin/env bash
# Registering the two servers with regsvr32, as users do: the profile key's
# display name, each bitness served by its own server, the ProgIDs that both
# views share, and unregistration.
. "$(dirname "$0")/e2e_lib.sh"
for bits in 32 64; do
    [ -f "$(driver_dll $bits)" ] || { echo "missing $(driver_dll $bits)"; exit 1; }
done
trap e2e_cleanup EXIT
driver_save_settings "$E2E_TMP/settings.reg"
driver_unregister_both
driver_reg delete "$DRIVER_PROFILE_KEY" /f

ctl() { e2e_run "$E2E_TMP/$1" wine "$BUILD_DIR/win$2/FocuserCtl.exe" status; }
expect_served() {
    ctl "$1" "$2"
    e2e_expect_rc "$E2E_TMP/$1" 0 "$1: win$2 client"
    e2e_expect_line "$E2E_TMP/$1.out" '  Link: +off' "$1: win$2 client"
}
expect_not_served() {
    ctl "$1" "$2"
    e2e_expect_rc "$E2E_TMP/$1" 1 "$1: win$2 client"
    e2e_expect_line "$E2E_TMP/$1.err" 'FocuserCtl: creating Morvantis\.Focuser failed: .*' "$1: win$2 client"
}

# Without the profile key registration creates none.
driver_register 32 || e2e_fail "regsvr32 of the 32-bit server"
driver_register 64 || e2e_fail "regsvr32 of the 64-bit server"
driver_reg query "$DRIVER_PROFILE_KEY" && e2e_fail "registration created the profile key"
expect_served nokey32 32
expect_served nokey64 64

# With the key (as an installer or the first link leaves it) registration names the
# driver and keeps the settings.
driver_settings 5 20000
driver_register_both || e2e_fail "regsvr32 of both servers"
name=$(driver_display_name)
[ "$name" = Morvantis ] || e2e_fail "display name '$name', expected Morvantis"
wine reg query "$DRIVER_PROFILE_KEY" /reg:32 2>/dev/null | tr -d '\r' >"$E2E_TMP/key.txt"
e2e_expect_line "$E2E_TMP/key.txt" ' +COM +REG_SZ +5' "settings kept by registration"
e2e_expect_line "$E2E_TMP/key.txt" ' +MaxPos +REG_SZ +20000' "settings kept by registration"

# A client is served by the server of its own bitness only.
driver_unregister_both
driver_register 64
expect_served only64_64 64
expect_not_served only64_32 32
driver_unregister_both
driver_register 32
expect_served only32_32 32
expect_not_served only32_64 64

# Unregistering one bitness takes the shared ProgIDs with it; registering the
# other one again brings back a complete late-bound session.
driver_register 64
driver_unregister 64
ctl after64gone 32
echo "after unregistering the 64-bit server only, the 32-bit client exits with $(cat "$E2E_TMP/after64gone.rc")"
driver_register 32
driver_settings $E2E_DRIVER_INDEX $E2E_MAX_POS
driver_sim_start $E2E_SIM_PORT "$E2E_TMP/sim.log" || exit 1
o=$E2E_TMP/reregistered
e2e_run "$o" wine "$BUILD_DIR/win32/FocuserCtl.exe" link move 321 unlink
e2e_expect_rc "$o" 0 "win32 session after re-registering"
e2e_expect_line "$o.out" 'Arrived at 321 after [0-9.]+ s\.' "win32 session after re-registering"
driver_sim_stop

# Unregistered: no client is served, and the profile key stays as it was.
driver_register 64
driver_unregister_both
for bits in 32 64; do
    ctl gone$bits $bits
    e2e_expect_rc "$E2E_TMP/gone$bits" 1 "win$bits client after unregistration"
    e2e_expect_line "$E2E_TMP/gone$bits.err" \
        'FocuserCtl: creating Morvantis\.Focuser failed: no class is registered as Morvantis\.Focuser.*' \
        "win$bits client after unregistration"
done
name=$(driver_display_name)
[ "$name" = Morvantis ] || e2e_fail "unregistration changed the display name to '$name'"

[ "$E2E_FAILURES" -gt 0 ] && e2e_show "$E2E_TMP"/*.out "$E2E_TMP"/*.err
e2e_finish
