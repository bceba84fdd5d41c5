#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds both bitnesses, prepares
# the Wine bench (prefix, wineserver, Xvfb, COM ports on null-modem pairs), runs
# every test program and test script of both bitnesses through CTest, and stops
# all it started.
# On a machine that runs 64-bit code only (or with FOCUSER_BENCH_64_ONLY=1), each
# 32-bit program and script half is counted as skipped, and the 32-bit server is
# checked as a file instead; anywhere else a skip is a failure.
# Usage: scripts/test.sh [name-regex]   (e.g. "serial" runs only *serial* tests)
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
# a filtered run, made while working on one part, skips it. Nothing built there
# is run, so it builds in the background at the lowest priority while the tests
# run, and is reported at the end.
clang_pid=
if [ -z "$filter" ]; then
    # It reports its own time: it is waited for only when the tests are done.
    setsid nice -n 19 bash -c '. "$1/scripts/lib/bench.sh"; bench_build_clang; rc=$?; echo "built in ${SECONDS}s"; exit $rc' \
        _ "$REPO_DIR" >"$BUILD_DIR/clang-build.log" 2>&1 &
    clang_pid=$!
    _bench_track_group "$clang_pid"
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

# Every test program of both trees, then the test scripts (in the 64-bit tree),
# through CTest. Each runs with its output in its own file (cmake/RunTest.cmake),
# after fresh null-modem lines: one that flooded or cut a line must not leave the
# next one a full buffer.
export BUILD_DIR
export FOCUSER_BENCH_BEFORE_TEST="$REPO_DIR/scripts/lib/bench-pair 5 6 7 8"
gtest_passed=0
gtest_failed=0
for bits in 32 64; do
    tree=$BUILD_DIR/win$bits
    rm -rf "$tree/test-logs"
    args=(--test-dir "$tree" --output-on-failure)
    [ -n "$filter" ] && args+=(-R "$filter")
    out=$logs/ctest-win$bits.log
    ctest "${args[@]}" >"$out" 2>&1
    # CTest's own summary, then one line per test in the suite's form.
    sed -n '/tests passed, /,$p' "$out"
    while IFS= read -r line; do
        [[ "$line" =~ Test\ +\#[0-9]+:\ +([^ ]+)\ .*\ ([0-9.]+)\ sec ]] || continue
        name=${BASH_REMATCH[1]}
        t=${BASH_REMATCH[2]}
        shown=$name
        [[ "$name" == *_test ]] || shown="win$bits $name"
        testlog=$tree/test-logs/$name.log
        if [[ "$line" == *Skipped* ]]; then
            skip "$shown"
        elif [[ "$line" == *" Passed "* ]]; then
            passed=$((passed + 1))
            printf 'ok    %-33s %6ss\n' "$shown" "$t"
            # A script says "SKIP: WHAT (...)" for each half it could not run here.
            while IFS= read -r half; do
                skip "$name (${half#SKIP: }"
            done < <(tr -d '\r' <"$testlog" 2>/dev/null | grep '^SKIP: ' | sed 's/ (this machine runs 64-bit code only)$/)/')
        else
            failed=$((failed + 1))
            failures+=("$shown")
            printf 'FAIL  %-33s %6ss (log: %s)\n' "$shown" "$t" "$testlog"
            sed -n "/#[0-9]*: $name /,/^ *[0-9]*\/[0-9]* Test/p" "$out" | grep '^      ' | head -n 30
        fi
    done <"$out"
    # The GoogleTest cases behind the programs' results, for the record.
    for testlog in "$tree"/test-logs/*_tests.log; do
        [ -f "$testlog" ] || continue
        p=$(tr -d '\r' <"$testlog" | sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' | tail -n 1)
        f=$(tr -d '\r' <"$testlog" | sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below:.*/\1/p' | tail -n 1)
        gtest_passed=$((gtest_passed + ${p:-0}))
        gtest_failed=$((gtest_failed + ${f:-0}))
    done
done

if [ -n "$clang_pid" ]; then
    wait "$clang_pid"
    rc=$?
    took=$(sed -n 's/^built in \([0-9]*\)s$/\1/p' "$BUILD_DIR/clang-build.log")
    if [ $rc -eq 0 ]; then
        passed=$((passed + 1))
        printf 'ok    %-33s %6ss\n' "clang build" "${took:-?}"
    else
        failed=$((failed + 1))
        failures+=("clang build")
        printf 'FAIL  %-33s %6ss (log: %s)\n' "clang build" "${took:-?}" "$BUILD_DIR/clang-build.log"
        grep -E 'error|warning:' "$BUILD_DIR/clang-build.log" | head -n 30 | sed 's/^/      /'
    fi
fi

elapsed=$(($(date +%s) - started))
echo
[ ${#failures[@]} -gt 0 ] && echo "Failed: ${failures[*]}"
[ ${#skipped[@]} -gt 0 ] && echo "Skipped: $(printf '%s, ' "${skipped[@]}" | sed 's/, $//')"
echo "GoogleTest cases: $gtest_passed passed, $gtest_failed failed"
echo "Suite time: ${elapsed}s"
echo "$passed passed, $failed failed, ${#skipped[@]} skipped"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
