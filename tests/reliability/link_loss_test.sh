#!/usr/bin/env bash
# The serial line vanishes during a move (the far end of the pty pair closes, as
# when a USB adapter is pulled), then comes back. Runs the probe of each bitness
# against its own pair COM9<->COM10 and cuts that pair when the probe asks.
# Needs the bench's environment (scripts/test.sh): WINEPREFIX with a running
# wineserver, FOCUSER_BENCH_PORTS.
set -u
: "${FOCUSER_BENCH_PORTS:?run through scripts/test.sh}"
: "${WINEPREFIX:?run through scripts/test.sh}"
export BUILD_DIR=${BUILD_DIR:-$(dirname "$FOCUSER_BENCH_PORTS")}
. "$(dirname "$0")/../../scripts/lib/bench.sh"
bench_wine_env
. "$REPO_DIR/scripts/lib/driver.sh"

# Only the pairs made here are stopped; the suite's wineserver is not ours.
cleanup() {
    local pid
    for pid in "${BENCH_PIDS[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    BENCH_PIDS=()
    rm -f "$WINEPREFIX/dosdevices/com9" "$WINEPREFIX/dosdevices/com10"
    [ -n "${signals:-}" ] && rm -rf "$signals"
}
trap cleanup EXIT

await() {
    local i
    for i in $(seq 1 400); do
        [ -e "$signals/$1" ] && return 0
        kill -0 "$probe" 2>/dev/null || return 1
        sleep 0.05
    done
    return 1
}

status=0
driver_skip_32 "32-bit half"
for bits in $(driver_bits); do
    exe=$BUILD_DIR/win$bits/tests/reliability_link_loss_probe.exe
    if [ ! -e "$exe" ]; then
        echo "win$bits: $exe is not built"
        status=1
        continue
    fi
    signals=$(mktemp -d "$BUILD_DIR/link-loss.XXXXXX")
    bench_pair 9 10
    # COM10 is the driver's port: settings index 9.
    log=$signals/probe.log
    winerun $bits "$exe" COM9 9 "$signals" >"$log" 2>&1 &
    probe=$!
    if await cut; then
        pair=$(cat "$FOCUSER_BENCH_PORTS/pair-9-10.pid")
        kill "$pair"
        wait "$pair" 2>/dev/null
        kept=()
        for pid in "${BENCH_PIDS[@]}"; do [ "$pid" = "$pair" ] || kept+=("$pid"); done
        BENCH_PIDS=("${kept[@]}")
        echo "win$bits: pair COM9<->COM10 cut (socat $pair stopped)"
        touch "$signals/cut-done"
    else
        echo "win$bits: the probe never asked for the cut"
    fi
    if await restore; then
        bench_pair 9 10
        echo "win$bits: pair COM9<->COM10 back"
        touch "$signals/restored"
    else
        echo "win$bits: the probe never asked for the pair back"
    fi
    wait "$probe"
    rc=$?
    tr -d '\r' <"$log" | sed "s/^/win$bits: /"
    echo "win$bits: probe exit code $rc"
    cleanup
    signals=
    [ "$rc" -eq 0 ] || status=1
done
exit $status
