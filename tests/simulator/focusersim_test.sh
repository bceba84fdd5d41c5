#!/usr/bin/env bash
# FocuserSim as a program, both bitnesses: answers on a real port, prints what it
# receives and sends, and ends at its time limit, at the end of piped input, or at
# once on bad arguments. Talks to it through the pty behind the other end of the
# bench's second pair (COM7 <-> COM8).
set -u
ports=${FOCUSER_BENCH_PORTS:?run through scripts/test.sh}
build=${BUILD_DIR:?run through scripts/test.sh}
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
failed=0
check() {
    if [ "$2" = "$3" ]; then
        echo "ok   $1"
    else
        echo "FAIL $1: expected [$3], got [$2]"
        failed=1
    fi
}
ms() { echo $(($(date +%s%N) / 1000000)); }
. "$(dirname "$0")/../../scripts/lib/driver.sh"

driver_skip_32 "32-bit half"
for bits in $(driver_bits); do
    exe=$build/win$bits/FocuserSim.exe
    log=$logs/focusersim-win$bits.log

    # Started in the background, input from /dev/null: runs until --seconds.
    t0=$(ms)
    winerun $bits "$exe" COM7 --position 4321 --seconds 3 </dev/null >"$log" 2>&1 &
    pid=$!
    for _ in $(seq 1 200); do
        grep -q listening "$log" && break
        sleep 0.05
    done
    exec 3<>"$ports/com8"
    # Blocking reads of whole bytes: a Wine program that opened COM8 before
    # leaves its pty at min 0 (a read with nothing waiting returns at once, which
    # head takes for the end), and Wine restores none of that at close.
    stty -F "$ports/com8" raw -echo min 1 time 0
    printf 'FG000000\xad' >&3
    reply=$(timeout 3 head -c 9 <&3 | od -An -tx1 | tr -d ' \n')
    check "win$bits position reply" "$reply" "4644303034333231b4"
    printf 'FV000000\xbc' >&3
    reply=$(timeout 3 head -c 9 <&3 | od -An -tx1 | tr -d ' \n')
    check "win$bits handshake reply" "$reply" "4656303130323030bf"
    exec 3>&-
    wait $pid
    check "win$bits exit code at the time limit" "$?" "0"
    took=$(($(ms) - t0))
    check "win$bits ran about 3 s" "$([ $took -ge 2500 ] && [ $took -le 15000 ] && echo yes || echo "$took ms")" "yes"
    text=$(tr -d '\r' <"$log")
    check "win$bits prints the query" "$(grep -c 'RX "FG000000\\xAD"  46 47 30 30 30 30 30 30 AD' <<<"$text")" "1"
    check "win$bits prints its reply" "$(grep -c 'TX "FD004321\\xB4"  46 44 30 30 34 33 32 31 B4' <<<"$text")" "1"
    check "win$bits says why it stopped" "$(grep -c 'stopped (time limit) at position 4321' <<<"$text")" "1"

    # Piped input: ends when the writer closes the pipe.
    t0=$(ms)
    (sleep 1) | winerun $bits "$exe" COM7 >"$log" 2>&1
    took=$(($(ms) - t0))
    check "win$bits stops at the end of piped input" "$(tr -d '\r' <"$log" | grep -c 'stopped (end of input)')" "1"
    check "win$bits stops soon after it" "$([ $took -le 10000 ] && echo yes || echo "$took ms")" "yes"

    winerun $bits "$exe" COM7 --rate fast </dev/null >/dev/null 2>&1
    check "win$bits bad option value" "$?" "2"
    winerun $bits "$exe" COM7 --bogus </dev/null >/dev/null 2>&1
    check "win$bits unknown option" "$?" "2"
    winerun $bits "$exe" COM1 --seconds 1 </dev/null >/dev/null 2>&1
    check "win$bits missing port" "$?" "1"
    check "win$bits help" "$(winerun $bits "$exe" --help </dev/null 2>&1 | tr -d '\r' | grep -c -- '--stall-ms')" "1"
done
exit $failed
