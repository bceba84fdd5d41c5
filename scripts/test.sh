#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds both bitnesses, prepares
# the Wine bench (test lanes: each a prefix, wineserver, Xvfb and COM ports on
# null-modem pairs of its own), runs every test program and test script of both
# bitnesses side by side through CTest, and stops all it started.
# On a machine that runs 64-bit code only (or with FOCUSER_BENCH_64_ONLY=1), each
# 32-bit program and script half is counted as skipped, and the 32-bit server is
# checked as a file instead; anywhere else a skip is a failure.
# Usage: scripts/test.sh [-L label] [name-regex]   (e.g. "serial" runs only the
# *serial* tests; -L unit the test programs, -L e2e or -L installer the scripts)
# FOCUSER_TEST_LANES sets how many tests run at once (default 3).
set -u
. "$(dirname "$0")/lib/bench.sh"
bench_trap

label=
if [ "${1:-}" = -L ]; then
    label=${2:?-L needs a label: unit, e2e, installer or alone}
    shift 2
fi
filter=${1:-}
# Part of the suite: a name or a tier.
partial=$filter$label
started=$(date +%s)
bench_install || { echo "package installation failed"; exit 1; }
bench_probe
# The prefix every lane starts from is made while the trees build.
mkdir -p "$BUILD_DIR"
bench_make_template >"$BUILD_DIR/template.log" 2>&1 &
template_pid=$!
_bench_track "$template_pid"
# The build's own lines go to a file: the suite prints a line per test.
if ! bench_build >"$BUILD_DIR/build.log" 2>&1; then
    grep -E 'error|FAILED|warning:' "$BUILD_DIR/build.log" | head -n 30 | sed 's/^/      /'
    echo "build failed (log: $BUILD_DIR/build.log)"
    echo "0 passed, 1 failed"
    exit 1
fi
wait "$template_pid" || { cat "$BUILD_DIR/template.log"; echo "0 passed, 1 failed"; exit 1; }
built=$(date +%s)
echo "Built both trees in $((built - started)) s"

passed=0
failed=0
failures=()
skipped=()
passed_alone=()

# The whole suite also proves that the sources build warning-free with clang++;
# a filtered run, made while working on one part, skips it. Nothing built there
# is run. It builds before the tests, not beside them: even at the lowest
# priority a compiler beside them delays the simulator's answers past the
# driver's time-outs.
if [ -z "$partial" ]; then
    clang_started=$(date +%s)
    if bench_build_clang >"$BUILD_DIR/clang-build.log" 2>&1; then
        passed=$((passed + 1))
        printf 'ok    %-33s %6ss\n' "clang build" "$(($(date +%s) - clang_started))"
    else
        failed=$((failed + 1))
        failures+=("clang build")
        printf 'FAIL  %-33s %6ss (log: %s)\n' "clang build" "$(($(date +%s) - clang_started))" "$BUILD_DIR/clang-build.log"
        grep -E 'error|warning:' "$BUILD_DIR/clang-build.log" | head -n 30 | sed 's/^/      /'
    fi
fi

# This run's folder: the CTest file that joins both trees, the lanes, CTest's
# output and, for a run beside another one, the tests' logs.
SUITE_DIR=${FOCUSER_BENCH_SUITE_DIR:-$BUILD_DIR/suite}
BENCH_LANES_DIR=$SUITE_DIR/lanes
lanes=${FOCUSER_TEST_LANES:-3}
bench_start_lanes "$lanes" || { echo "0 passed, 1 failed"; exit 1; }
# Steps outside CTest run in the first lane.
export WINEPREFIX=$BENCH_LANES_DIR/1/wineprefix
DISPLAY=$(cat "$BENCH_LANES_DIR/1/display")
export DISPLAY
export FOCUSER_BENCH_PORTS=$BENCH_LANES_DIR/1/ports
if [ -n "${FOCUSER_BENCH_SUITE_DIR:-}" ]; then
    export FOCUSER_BENCH_LOG_DIR=$SUITE_DIR/test-logs
fi
# log_of TREE ENTRY: where a test's output went.
log_of() {
    if [ -n "${FOCUSER_BENCH_LOG_DIR:-}" ]; then
        echo "$FOCUSER_BENCH_LOG_DIR/$1/$2.log"
    else
        echo "$BUILD_DIR/$1/test-logs/$2.log"
    fi
}
for bits in 32 64; do rm -rf "$(dirname "$(log_of win$bits x)")"; done
logs=$SUITE_DIR/logs
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

# run_tests CTEST-ARGUMENTS...: one CTest run, as many tests at once as
# there are lanes. Each test runs with its output in its own file
# (cmake/RunTest.cmake), in a lane of its own, after fresh null-modem lines: one
# that flooded or cut a line must not leave the next one a full buffer. Prints
# CTest's summary, then one line per test in the suite's form.
# A test that failed beside others runs once more with nothing beside it, and
# passes only if it passes there: under the load of the other lanes the bench's
# lines can stall for longer than the driver's 136 ms read time-out, which a
# serial port never does. Its line says so, and the failing log is kept. The
# timed cases already ran alone; they get no second run.
export BUILD_DIR
export FOCUSER_BENCH_BEFORE_TEST="$REPO_DIR/scripts/lib/bench-pair 5 6 7 8"
run_tests() {
    local out=$logs/ctest.log line name t shown testlog again
    local args=(--output-on-failure -j "$lanes" --resource-spec-file "$BENCH_LANES_DIR/lanes.json" "$@")
    [ -n "$filter" ] && args+=(-R "$filter")
    [ -n "$label" ] && args+=(-L "$label")
    ctest "${args[@]}" >"$out" 2>&1
    grep -q 'No tests were found' "$out" && return 0
    sed -n '/tests passed, /,$p' "$out"
    local timed
    timed=$(ctest "$@" -N -L alone | sed -n 's/^ *Test *#[0-9]*: \([^ ]*\)$/\1/p')
    while IFS= read -r line; do
        [[ "$line" =~ Test\ +\#[0-9]+:\ +([^ ]+)\ .*\ ([0-9.]+)\ sec ]] || continue
        name=${BASH_REMATCH[1]}
        t=${BASH_REMATCH[2]}
        entry_place "$name"
        if [[ "$line" == *Skipped* ]]; then
            skip "$shown"
        elif [[ "$line" == *" Passed "* ]]; then
            entry_passed "$name" "$t" ""
        elif ! grep -qx "$name" <<<"$timed" && again=$(run_alone "$name"); then
            entry_passed "$name" "$again" " (failed beside others, passed alone; that log: ${testlog%.log}.beside.log)"
            passed_alone+=("$shown")
        else
            failed=$((failed + 1))
            failures+=("$shown")
            printf 'FAIL  %-33s %6ss (log: %s)\n' "$shown" "$t" "$testlog"
            sed -n "/#[0-9]*: $name /,/^ *[0-9]*\/[0-9]* Test/p" "$out" | grep '^      ' | head -n 30
        fi
    done <"$out"
}

# entry_place NAME: the test's name as shown ($shown) and its log ($testlog).
# A program's entry is named after its tree; the scripts live in the 64-bit one.
entry_place() {
    if [[ "$1" =~ ^(win32|win64)_(.+)$ ]]; then
        shown="${BASH_REMATCH[1]} ${BASH_REMATCH[2]}"
        testlog=$(log_of "${BASH_REMATCH[1]}" "${BASH_REMATCH[2]}")
    else
        shown=$1
        testlog=$(log_of win64 "$1")
    fi
}

# entry_passed NAME SECONDS NOTE: counts a pass, and a skip for each half a
# script said it could not run here ("SKIP: WHAT (...)").
entry_passed() {
    local half
    passed=$((passed + 1))
    printf 'ok    %-33s %6ss%s\n' "$shown" "$2" "$3"
    while IFS= read -r half; do
        skip "$1 (${half#SKIP: }"
    done < <(tr -d '\r' <"$testlog" 2>/dev/null | grep '^SKIP: ' | sed 's/ (this machine runs 64-bit code only)$/)/')
}

# run_alone NAME: the test once more, with run_tests' own CTest arguments and
# nothing beside it (the last -R is the one CTest keeps); prints its seconds when
# it passes. The failing log is kept beside the new one.
run_alone() {
    local again=$logs/ctest-$1.log
    cp "$testlog" "${testlog%.log}.beside.log" 2>/dev/null
    ctest "${args[@]}" -R "^$1\$" </dev/null >"$again" 2>&1 || return 1
    sed -n 's/.*Test *#[0-9]*: .* Passed *\([0-9.]*\) sec.*/\1/p' "$again"
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

# Every test program of both trees and the test scripts (in the 64-bit tree),
# in one CTest run that joins the trees: long ones first, the timed cases alone.
printf 'subdirs("%s" "%s")\n' "$BUILD_DIR/win32" "$BUILD_DIR/win64" >"$SUITE_DIR/CTestTestfile.cmake"
tests_started=$(date +%s)
run_tests --test-dir "$SUITE_DIR"
tests_took=$(($(date +%s) - tests_started))

# The GoogleTest cases behind the programs' results, for the record.
gtest_passed=0
gtest_failed=0
for bits in 32 64; do
    for testlog in "$(dirname "$(log_of win$bits x)")"/*_tests*.log; do
        [ -f "$testlog" ] && [[ "$testlog" != *.beside.log ]] || continue
        p=$(tr -d '\r' <"$testlog" | sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' | tail -n 1)
        f=$(tr -d '\r' <"$testlog" | sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below:.*/\1/p' | tail -n 1)
        gtest_passed=$((gtest_passed + ${p:-0}))
        gtest_failed=$((gtest_failed + ${f:-0}))
    done
done

elapsed=$(($(date +%s) - started))
echo
[ ${#failures[@]} -gt 0 ] && echo "Failed: ${failures[*]}"
[ ${#passed_alone[@]} -gt 0 ] && echo "Failed beside others, passed alone: ${passed_alone[*]}"
[ ${#skipped[@]} -gt 0 ] && echo "Skipped: $(printf '%s, ' "${skipped[@]}" | sed 's/, $//')"
echo "GoogleTest cases: $gtest_passed passed, $gtest_failed failed"
echo "Suite time: ${elapsed}s (build $((built - started)) s, tests $tests_took s in $lanes lanes)"
echo "$passed passed, $failed failed, ${#skipped[@]} skipped"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
