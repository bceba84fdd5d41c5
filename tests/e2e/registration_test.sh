#!/usr/bin/env bash
# Registering the two servers with regsvr32, as users do: the profile key's
# display name, each bitness served by its own server, the ProgIDs and type
# library keys that both views share while either server stays registered, and
# unregistration in any order.
. "$(dirname "$0")/e2e_lib.sh"
for bits in $E2E_BITS; do
    [ -f "$(driver_dll $bits)" ] || { echo "missing $(driver_dll $bits)"; exit 1; }
done
trap e2e_cleanup EXIT
driver_save_settings "$E2E_TMP/settings.reg"
driver_unregister_both
driver_reg delete "$DRIVER_PROFILE_KEY" /f

ctl() { e2e_run "$E2E_TMP/$1" winerun $2 "$BUILD_DIR/win$2/FocuserCtl.exe" status; }

# e2e_dump TAG: HKEY_CLASSES_ROOT as the 64-bit regedit exports it, which holds
# both views: the 32-bit one's own keys below Wow6432Node, the keys both share
# once.
tmp_win=$(driver_winpath "$E2E_TMP")
e2e_dump() {
    rm -f "$E2E_TMP/$1.reg"
    winerun 64 regedit /E "$tmp_win\\$1.reg" HKEY_CLASSES_ROOT >/dev/null 2>&1
    [ -s "$E2E_TMP/$1.reg" ] || e2e_fail "exporting HKEY_CLASSES_ROOT ($1)"
}
# e2e_expect_same TAG_BEFORE TAG_AFTER LABEL: the two dumps hold the same keys and values.
e2e_expect_same() {
    if ! python3 "$E2E_REPO/tests/installer/regdiff.py" "$E2E_TMP/$1.reg" "$E2E_TMP/$2.reg" \
        >"$E2E_TMP/diff-$2.txt"; then
        e2e_fail "$3: HKEY_CLASSES_ROOT differs (- $1, + $2)"
        head -n 20 "$E2E_TMP/diff-$2.txt" | sed 's/^/    /'
    fi
}

# Nothing of the driver registered; then each server alone and both in either
# order, fresh, and unregistered in the order registered: nothing is left.
e2e_dump none
orders=("32" "64" "32 64" "64 32")
driver_skip_32 "32-bit and both-bitness registrations" && orders=("64")
for order in "${orders[@]}"; do
    set -- $order
    for bits; do driver_register $bits || e2e_fail "regsvr32 of the $bits-bit server ($order)"; done
    [ $# = 2 ] && e2e_dump "both$1$2"
    for bits; do driver_unregister $bits; done
    e2e_dump "none${order// /}"
    e2e_expect_same none "none${order// /}" "registering and unregistering $order"
done

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
for bits in $E2E_BITS; do driver_register $bits || e2e_fail "regsvr32 of the $bits-bit server"; done
driver_reg query "$DRIVER_PROFILE_KEY" && e2e_fail "registration created the profile key"
for bits in $E2E_BITS; do expect_served nokey$bits $bits; done

# With the key (as an installer or the first link leaves it) registration names the
# driver and keeps the settings.
driver_settings 5 20000
driver_register_both || e2e_fail "regsvr32 of both servers"
name=$(driver_display_name)
[ "$name" = Morvantis ] || e2e_fail "display name '$name', expected Morvantis"
winerun 64 reg query "$DRIVER_PROFILE_KEY" /reg:32 2>/dev/null | tr -d '\r' >"$E2E_TMP/key.txt"
e2e_expect_line "$E2E_TMP/key.txt" ' +COM +REG_SZ +5' "settings kept by registration"
e2e_expect_line "$E2E_TMP/key.txt" ' +MaxPos +REG_SZ +20000' "settings kept by registration"

# What follows is about two servers side by side.
if driver_skip_32 "each bitness served by its own server, one unregistered while the other serves"; then
    driver_unregister_both
    driver_register 64
    expect_served only64_64 64
else
    # A client is served by the server of its own bitness only.
    driver_unregister_both
    driver_register 64
    expect_served only64_64 64
    expect_not_served only64_32 32
    driver_unregister_both
    driver_register 32
    expect_served only32_32 32
    expect_not_served only32_64 64

    # Unregistering one bitness takes only what is its own: clients of the other
    # bitness go on creating the driver by ProgID, in either apartment model (the
    # multithreaded one calls through the interface's proxy, which needs the
    # Interface key of its view), through a whole session.
    driver_settings $E2E_DRIVER_INDEX $E2E_MAX_POS
    driver_sim_start $E2E_SIM_PORT "$E2E_TMP/sim.log" || exit 1
    target=100
    # session BITS LABEL: registration_client of that bitness, single- and multithreaded.
    session() {
        local apartment flag
        for apartment in sta mta; do
            [ $apartment = mta ] && flag=--mta || flag=
            target=$((target + 100))
            e2e_run "$E2E_TMP/$2-$apartment" winerun $1 "$BUILD_DIR/win$1/tests/registration_client.exe" $flag --move $target
            e2e_expect_rc "$E2E_TMP/$2-$apartment" 0 "$2: win$1 $apartment session"
            e2e_expect_line "$E2E_TMP/$2-$apartment.out" "position $target" "$2: win$1 $apartment session"
        done
    }
    # One unregistration at a time, in both orders: the remaining server serves
    # its clients; registering the other again gives the registry a fresh
    # registration in that order gives.
    for other in 32 64; do
        [ $other = 32 ] && kept=64 || kept=32
        driver_unregister_both
        driver_register $other && driver_register $kept || e2e_fail "regsvr32 of both servers"
        driver_unregister $other
        e2e_dump "without$other"
        python3 "$E2E_REPO/tests/installer/regdiff.py" "$E2E_TMP/both$other$kept.reg" "$E2E_TMP/without$other.reg" |
            sed "s/^/    unregistering $other: /"
        session $kept "only$kept"
        expect_not_served "unregistered$other" $other
        driver_register $other || e2e_fail "regsvr32 of the $other-bit server again"
        e2e_dump "again$other"
        e2e_expect_same "both$kept$other" "again$other" "registering the $other-bit server again"
    done
    driver_sim_stop

    # Registering the 32-bit server again after the 64-bit one went brings back a
    # complete late-bound session of its own.
    driver_register 64
    driver_unregister 64
    ctl after64gone 32
    e2e_expect_rc "$E2E_TMP/after64gone" 0 "win32 client after unregistering the 64-bit server"
    driver_register 32
    driver_settings $E2E_DRIVER_INDEX $E2E_MAX_POS
    driver_sim_start $E2E_SIM_PORT "$E2E_TMP/sim.log" || exit 1
    o=$E2E_TMP/reregistered
    e2e_run "$o" winerun 32 "$BUILD_DIR/win32/FocuserCtl.exe" link move 321 unlink
    e2e_expect_rc "$o" 0 "win32 session after re-registering"
    e2e_expect_line "$o.out" 'Arrived at 321 after [0-9.]+ s\.' "win32 session after re-registering"
    driver_sim_stop
fi

# Unregistered: no client is served, and the profile key stays as it was.
driver_register 64
driver_unregister_both
for bits in $E2E_BITS; do
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
