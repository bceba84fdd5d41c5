#!/usr/bin/env bash
# FocuserCtl find-port on the bench's ports (COM5<->COM6 with the simulator on
# COM5, COM7<->COM8 idle, the rest missing): the controller found on COM6 and
# nothing but the handshake sent to it; --save writes COM alone, and refuses when
# two ports answer or none does.
. "$(dirname "$0")/e2e_lib.sh"
e2e_setup

com_setting() { winerun 64 reg query "$DRIVER_PROFILE_KEY" /v COM /reg:32 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ *//p'; }
max_setting() { winerun 64 reg query "$DRIVER_PROFILE_KEY" /v MaxPos /reg:32 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ *//p'; }

driver_settings 2 $E2E_MAX_POS
o=$E2E_TMP/find32
e2e_run "$o" winerun $E2E_MAIN "$BUILD_DIR/win$E2E_MAIN/FocuserCtl.exe" find-port
e2e_expect_rc "$o" 0 "find-port"
e2e_expect_line "$o.out" 'COM6   a controller answered "010200"' "find-port"
e2e_expect_line "$o.out" 'COM8   opens, but nothing answered the handshake' "find-port"
e2e_expect_line "$o.out" 'COM3   does not exist' "find-port"
e2e_expect_line "$o.out" 'COM25  does not exist' "find-port"
[ "$(grep -c '^COM' "$o.out")" = 25 ] || e2e_fail "find-port: expected one line for each of COM1..COM25"
e2e_last_line_is "$o.out" "A controller answered on COM6." "find-port"
[ "$(com_setting)" = 2 ] || e2e_fail "find-port without --save changed COM to '$(com_setting)'"
# The controller saw handshakes only.
if grep -E '^ *[0-9]+ RX ' "$E2E_TMP/sim.log" | grep -vq 'RX "FV000000'; then
    e2e_fail "find-port sent the controller more than the handshake"
fi

o=$E2E_TMP/save64
e2e_run "$o" winerun 64 "$BUILD_DIR/win64/FocuserCtl.exe" find-port --save
e2e_expect_rc "$o" 0 "find-port --save"
e2e_last_line_is "$o.out" "Saved COM6 as the driver's port." "find-port --save"
[ "$(com_setting)" = 5 ] || e2e_fail "find-port --save stored COM '$(com_setting)', expected 5"
[ "$(max_setting)" = $E2E_MAX_POS ] || e2e_fail "find-port --save changed MaxPos to '$(max_setting)'"

# A second controller on COM7 answers on COM8: two ports, so nothing is saved.
driver_settings 2 $E2E_MAX_POS
winerun $E2E_MAIN "$BUILD_DIR/win$E2E_MAIN/FocuserSim.exe" COM7 --no-stdin --seconds 120 >"$E2E_TMP/sim2.log" 2>&1 &
sim2=$!
for i in $(seq 1 100); do grep -q 'listening on' "$E2E_TMP/sim2.log" 2>/dev/null && break; sleep 0.1; done
o=$E2E_TMP/two
e2e_run "$o" winerun $E2E_MAIN "$BUILD_DIR/win$E2E_MAIN/FocuserCtl.exe" find-port --save
# Ctrl-C, then by force: it must be gone before the next case probes COM8.
kill -INT $sim2 2>/dev/null
for i in $(seq 1 30); do kill -0 $sim2 2>/dev/null || break; sleep 0.1; done
kill -TERM $sim2 2>/dev/null
wait $sim2 2>/dev/null
e2e_expect_rc "$o" 1 "two controllers"
e2e_expect_line "$o.out" "Controllers answered on COM6, COM8\." "two controllers"
e2e_last_line_is "$o.out" "Nothing saved: more than one port answered; choose one in the setup dialog." "two controllers"
[ "$(com_setting)" = 2 ] || e2e_fail "find-port --save with two answers changed COM to '$(com_setting)'"

driver_sim_stop
o=$E2E_TMP/none
e2e_run "$o" winerun 64 "$BUILD_DIR/win64/FocuserCtl.exe" find-port --save
e2e_expect_rc "$o" 1 "no controller"
e2e_expect_line "$o.out" "No controller answered on COM1 to COM25\." "no controller"
e2e_last_line_is "$o.out" "Nothing saved." "no controller"
[ "$(com_setting)" = 2 ] || e2e_fail "find-port --save with no answer changed COM to '$(com_setting)'"

[ "$E2E_FAILURES" -gt 0 ] && e2e_show "$E2E_TMP"/*.out "$E2E_TMP"/*.err
e2e_finish
