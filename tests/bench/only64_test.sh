#!/usr/bin/env bash
# The skip path, on a machine that runs 32-bit code: a short run of the suite as
# on a machine that runs 64-bit code only (FOCUSER_BENCH_64_ONLY=1) must skip
# every 32-bit program and script half it meets, run every 64-bit one, check the
# 32-bit server as a file, and fail none. It brings its own lane, CTest folder
# and logs, and stops them. Where 32-bit code does not run, the suite itself
# takes that path, and this test has nothing to add.
set -u
: "${BUILD_DIR:?run through scripts/test.sh}"
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/lib/driver.sh"
export PATH=$here/../../scripts/lib:$PATH
if ! winerun --runs32; then
    echo "skipped: this machine runs 64-bit code only, and the suite ran that way"
    exit 77
fi

log=$BUILD_DIR/64-bit-only-run.log
# A program and a script are enough to show the path; ones that time the wire
# would only have the outer run's tests beside them.
FOCUSER_BENCH_64_ONLY=1 FOCUSER_BENCH_SUITE_DIR=$BUILD_DIR/64-bit-only FOCUSER_TEST_LANES=1 \
    bash "$here/../../scripts/test.sh" 'platform_tests|focusersim' >"$log" 2>&1
rc=$?
cat "$log"
problem=
last=$(tail -n 1 "$log")
[ $rc -eq 0 ] || problem="exit status $rc"
[[ "$last" =~ ^[1-9][0-9]*\ passed,\ 0\ failed,\ [1-9][0-9]*\ skipped$ ]] || problem="last line '$last'"
grep -q '^Skipped: .*win32 platform_tests' "$log" || problem="win32 platform_tests not skipped"
grep -q '^Skipped: .*focusersim_test (32-bit half' "$log" || problem="focusersim_test's 32-bit half not skipped"
grep -q '^ok    win64 platform_tests' "$log" || problem="win64 platform_tests did not run"
grep -q '^ok    focusersim_test' "$log" || problem="focusersim_test's 64-bit half did not run"
grep -q '^ok    win32 server image' "$log" || problem="the 32-bit server was not checked as a file"
if [ -n "$problem" ]; then
    echo "FAIL: the 64-bit-only run: $problem"
    exit 1
fi
echo "the 64-bit-only run skipped what it could not run and passed the rest"
