# Sourced by the end-to-end tests (tests/e2e/*_test.sh). scripts/test.sh runs them
# with its bench up: WINEPREFIX and DISPLAY exported, COM5<->COM6 and COM7<->COM8
# mapped. Each test registers both servers, points the driver's settings at COM6
# with the simulator on COM5, and leaves the prefix as it found it.
set -u

E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
E2E_REPO=$(cd "$E2E_DIR/../.." && pwd)
if [ -z "${BUILD_DIR:-}" ]; then
    if [ -n "${FOCUSER_BENCH_PORTS:-}" ]; then
        BUILD_DIR=$(dirname "$FOCUSER_BENCH_PORTS")
    else
        BUILD_DIR=$E2E_REPO/build
    fi
fi
if [ -z "${WINEPREFIX:-}" ]; then
    echo "no Wine bench: run this test through scripts/test.sh"
    exit 1
fi
export WINEDEBUG=${WINEDEBUG:--all}
case ":$PATH:" in *":$E2E_REPO/scripts/lib:"*) ;; *) export PATH=$E2E_REPO/scripts/lib:$PATH ;; esac
. "$E2E_REPO/scripts/lib/driver.sh"
# The bitnesses whose clients run here, and the one a single-bitness step uses.
E2E_BITS=$(driver_bits)
E2E_MAIN=$(driver_main_bits)

E2E_SIM_PORT=COM5
E2E_DRIVER_INDEX=5 # COM6
E2E_MAX_POS=20000
E2E_TMP=$(mktemp -d)
E2E_FAILURES=0

e2e_fail() {
    echo "FAIL: $*"
    E2E_FAILURES=$((E2E_FAILURES + 1))
}

e2e_cleanup() {
    driver_sim_stop
    driver_unregister_both
    driver_restore_settings "$E2E_TMP/settings.reg"
    rm -rf "$E2E_TMP"
}

# e2e_setup [FocuserSim options...]: servers registered, settings on COM6 with
# MaxPos 20000, simulator on COM5. Where 32-bit code cannot run, says that the
# script's 32-bit half is skipped.
e2e_setup() {
    local bits
    driver_skip_32 "32-bit half"
    for bits in 32 64; do
        [ -f "$(driver_dll $bits)" ] || { echo "missing $(driver_dll $bits)"; exit 1; }
    done
    trap e2e_cleanup EXIT
    driver_save_settings "$E2E_TMP/settings.reg"
    driver_settings $E2E_DRIVER_INDEX $E2E_MAX_POS || { echo "could not write the settings"; exit 1; }
    driver_register_both || { echo "regsvr32 failed"; exit 1; }
    driver_sim_start $E2E_SIM_PORT "$E2E_TMP/sim.log" "$@" || exit 1
}

# e2e_run OUT_PREFIX COMMAND...: runs a Windows program; its stdout, stderr (both
# without CR) and exit status land in OUT_PREFIX.out, .err and .rc.
e2e_run() {
    local out=$1
    shift
    "$@" >"$out.raw" 2>"$out.rawerr"
    echo $? >"$out.rc"
    tr -d '\r' <"$out.raw" >"$out.out"
    tr -d '\r' <"$out.rawerr" >"$out.err"
}

# e2e_expect_rc OUT_PREFIX STATUS LABEL
e2e_expect_rc() {
    local rc
    rc=$(cat "$1.rc")
    [ "$rc" = "$2" ] || e2e_fail "$3: exit status $rc, expected $2"
}

# e2e_expect_line FILE EXTENDED_REGEX LABEL: some line of FILE matches the whole regex.
e2e_expect_line() {
    grep -Eq "^($2)\$" "$1" || e2e_fail "$3: no line matching /$2/ in $(basename "$1")"
}

e2e_expect_no_line() {
    if grep -Eq "^($2)\$" "$1"; then e2e_fail "$3: unexpected line matching /$2/ in $(basename "$1")"; fi
}

# e2e_last_line_is FILE TEXT LABEL
e2e_last_line_is() {
    local last
    last=$(tail -n 1 "$1")
    [ "$last" = "$2" ] || e2e_fail "$3: last line is '$last', expected '$2'"
}

e2e_show() {
    local f
    for f in "$@"; do
        [ -s "$f" ] || continue
        echo "--- $(basename "$f")"
        cat "$f"
    done
}

# Ends the test: exit status 0 when no check failed.
e2e_finish() {
    if [ "$E2E_FAILURES" -gt 0 ]; then
        echo "--- simulator log (last 30 lines)"
        tail -n 30 "$E2E_TMP/sim.log" 2>/dev/null
        echo "$E2E_FAILURES checks failed"
        exit 1
    fi
    echo "all checks passed"
    exit 0
}

cscript_path() { driver_winpath "$1"; }
