#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds both bitnesses, prepares
# the Wine bench (prefix, wineserver, Xvfb, COM ports on null-modem pairs), runs
# every test program and test script of both bitnesses, and stops all it started.
# On a machine that runs 64-bit code only (or with FOCUSER_BENCH_64_ONLY=1), each
# 32-bit program and script half is counted as skipped, and the 32-bit server is
# checked as a file instead; anywhere else a skip is a failure.
# Usage: scripts/test.sh [name-filter]   (e.g. "serial" runs only *serial* tests)
set -u
. "$(dirname "$0")/lib/bench.sh"
bench_trap

filter=${1:-}
started=$(date +%s)
bench_install || { echo "package installation failed"; exit 1; }
bench_probe
bench_build || { echo "build failed"; echo "0 passed, 1 failed"; exit 1; }

passed=0
failed=0
failures=()
skipped=()
# The whole suite also proves that the sources build warning-free with clang++;
# a filtered run, made while working on one part, skips it.
if [ -z "$filter" ]; then
    t0=$(date +%s)
    if bench_build_clang >"$BUILD_DIR/clang-build.log" 2>&1; then
        passed=$((passed + 1))
        printf 'ok    %-33s %6ss\n' "clang build" "$(($(date +%s) - t0))"
    else
        failed=$((failed + 1))
        failures+=("clang build")
        printf 'FAIL  %-33s %6ss (log: %s)\n' "clang build" "$(($(date +%s) - t0))" "$BUILD_DIR/clang-build.log"
        grep -E 'error|warning:' "$BUILD_DIR/clang-build.log" | head -n 30 | sed 's/^/      /'
    fi
fi

# The skip path, on every machine: a short run of the suite as on a machine that
# runs 64-bit code only must skip every 32-bit program and script half it meets,
# run every 64-bit one, and fail none. It runs before this run's own bench is up
# and brings and stops its own.
if [ -z "$filter" ] && [ "$BENCH_RUNS32" = 1 ]; then
    t0=$(date +%s)
    log64=$BUILD_DIR/64-bit-only-run.log
    FOCUSER_BENCH_64_ONLY=1 bash "$0" sim >"$log64" 2>&1
    rc=$?
    problem=
    last=$(tail -n 1 "$log64")
    [ $rc -eq 0 ] || problem="exit status $rc"
    [[ "$last" =~ ^[1-9][0-9]*\ passed,\ 0\ failed,\ [1-9][0-9]*\ skipped$ ]] || problem="last line '$last'"
    grep -q '^Skipped: .*win32 simulator_tests' "$log64" || problem="win32 simulator_tests not skipped"
    grep -q '^Skipped: .*focusersim_test (32-bit half' "$log64" || problem="focusersim_test's 32-bit half not skipped"
    grep -q '^ok    win64 simulator_tests' "$log64" || problem="win64 simulator_tests did not run"
    grep -q '^ok    focusersim_test' "$log64" || problem="focusersim_test's 64-bit half did not run"
    grep -q '^ok    win32 server image' "$log64" || problem="the 32-bit server was not checked as a file"
    if [ -z "$problem" ]; then
        passed=$((passed + 1))
        printf 'ok    %-33s %6ss\n' "64-bit-only run" "$(($(date +%s) - t0))"
    else
        failed=$((failed + 1))
        failures+=("64-bit-only run")
        printf 'FAIL  %-33s %6ss (%s; log: %s)\n' "64-bit-only run" "$(($(date +%s) - t0))" "$problem" "$log64"
        tail -n 15 "$log64" | sed 's/^/      /'
    fi
fi

bench_start_xvfb || exit 1
bench_start_wine || { echo "0 passed, 1 failed"; exit 1; }
bench_pair 5 6
bench_pair 7 8
export FOCUSER_BENCH_PORTS=$BUILD_DIR/ports

logs=$BUILD_DIR/test-logs
rm -rf "$logs"
mkdir -p "$logs"

# skip NAME: a part that the probe ruled out; anywhere else a skip fails.
skip() {
    if [ "$BENCH_RUNS32" = 1 ]; then
        failed=$((failed + 1))
        failures+=("$1 (skipped on a machine that runs 32-bit code)")
        printf 'FAIL  %-33s skipped, but this machine runs 32-bit code\n' "$1"
    else
        skipped+=("$1")
        printf 'skip  %s\n' "$1"
    fi
}

# Both servers checked as files by the 64-bit checker, in every run (they take
# a second): on a machine that runs 64-bit code only, all the suite can know of
# the 32-bit one.
for bits in 32 64; do
    name="win$bits server image"
    machine=i386
    [ "$bits" = 64 ] && machine=amd64
    log=$logs/server-image-$bits.log
    dll=$(winerun 64 winepath -w "$BUILD_DIR/win$bits/MorvantisFocuser.dll" 2>/dev/null)
    if (cd "$BUILD_DIR/win64/tests" && winerun 64 ./server_image_check.exe "$dll" $machine </dev/null >"$log" 2>&1); then
        passed=$((passed + 1))
        printf 'ok    %-33s\n' "$name"
    else
        failed=$((failed + 1))
        failures+=("$name")
        printf 'FAIL  %-33s (log: %s)\n' "$name" "$log"
        tr -d '\r' <"$log" | grep -v '^ok' | sed 's/^/      /'
    fi
done

# Counts one program's GoogleTest results; a program that ends without a
# summary (crash, watchdog) counts as one failure more.
count_gtest() {
    local log=$1 rc=$2 p f
    p=$(tr -d '\r' <"$log" | sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' | tail -n 1)
    f=$(tr -d '\r' <"$log" | sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below:.*/\1/p' | tail -n 1)
    p=${p:-0}
    f=${f:-0}
    if [ "$rc" -ne 0 ] && [ "$f" -eq 0 ]; then f=1; fi
    passed=$((passed + p))
    failed=$((failed + f))
    last_passed=$p
    last_failed=$f
}

for bits in 32 64; do
    tree=$BUILD_DIR/win$bits
    # CTest knows the test programs (ctest runs them in a build tree); here each
    # is started directly with its output in a file. Through CTest, in a fresh
    # prefix, the desktop and service processes a program starts inherit and
    # hold CTest's pipe: every program that made a window or a COM call took
    # 10-20 s longer, and a setup dialog test hung until its watchdog.
    while IFS= read -r name; do
        [ -n "$filter" ] && [[ "$name" != *"$filter"* ]] && continue
        if [ "$bits" = 32 ] && [ "$BENCH_RUNS32" = 0 ]; then
            skip "win32 $name"
            continue
        fi
        log=$logs/win$bits-$name.log
        # Fresh lines for every program: one that flooded or cut a line must
        # not leave the next one a full buffer.
        bench_pair 5 6
        bench_pair 7 8
        t0=$(date +%s%N)
        (cd "$tree/tests" && winerun $bits "./$name.exe" </dev/null >"$log" 2>&1)
        rc=$?
        count_gtest "$log" $rc
        p=$last_passed
        f=$last_failed
        ms=$((($(date +%s%N) - t0) / 1000000))
        t=$((ms / 1000)).$((ms % 1000 / 100))
        if [ "$f" -eq 0 ]; then
            printf 'ok    win%s %-28s %4s passed  %6ss\n' "$bits" "$name" "$p" "$t"
        else
            printf 'FAIL  win%s %-28s %4s passed %3s failed %6ss (log: %s)\n' "$bits" "$name" "$p" "$f" "$t" "$log"
            tr -d '\r' <"$log" | grep -E '^\[  FAILED  \]|Failure|WATCHDOG|error' | head -n 30 | sed 's/^/      /'
            failures+=("win$bits $name")
        fi
    done < <(ctest --test-dir "$tree" -N | sed -n 's/^ *Test *#[0-9]*: *//p')
done

# Test scripts (end-to-end, installer, reliability): tests/**/*_test.sh, each one
# test, run with the bench's environment.
while IFS= read -r script; do
    name=$(basename "$script" .sh)
    [ -n "$filter" ] && [[ "$name" != *"$filter"* ]] && continue
    log=$logs/$name.log
    # Fresh lines here too: a script's programs may leave a line's settings or
    # buffers as the next script must not find them.
    bench_pair 5 6
    bench_pair 7 8
    t0=$(date +%s)
    bash "$script" >"$log" 2>&1
    rc=$?
    t=$(($(date +%s) - t0))
    # A script says "SKIP: WHAT (...)" for each half it could not run here, and
    # exits with 77 when it could run nothing at all.
    while IFS= read -r half; do
        skip "$name (${half#SKIP: }"
    done < <(tr -d '\r' <"$log" | grep '^SKIP: ' | sed 's/ (this machine runs 64-bit code only)$/)/')
    if [ $rc -eq 77 ]; then
        skip "$name"
    elif [ $rc -eq 0 ]; then
        passed=$((passed + 1))
        printf 'ok    %-33s %6ss\n' "$name" "$t"
    else
        failed=$((failed + 1))
        failures+=("$name")
        printf 'FAIL  %-33s %6ss (log: %s)\n' "$name" "$t" "$log"
        tail -n 20 "$log" | sed 's/^/      /'
    fi
done < <(find "$REPO_DIR/tests" -name '*_test.sh' | sort)

elapsed=$(($(date +%s) - started))
echo
[ ${#failures[@]} -gt 0 ] && echo "Failed: ${failures[*]}"
[ ${#skipped[@]} -gt 0 ] && echo "Skipped: $(printf '%s, ' "${skipped[@]}" | sed 's/, $//')"
echo "Suite time: ${elapsed}s"
echo "$passed passed, $failed failed, ${#skipped[@]} skipped"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
