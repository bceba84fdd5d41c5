#!/usr/bin/env bash
# Two builds of one commit in two folders give the same files. The 64-bit
# server built again, from a copy of the sources in another folder into another
# build folder, is the suite's own byte for byte: no link time in it, no source
# or build folder, no time widl wrote into the type library. And the setup
# program made again from copies of the files it carries, with other times and
# in other folders, is the build's own.
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
if [ -z "${BUILD_DIR:-}" ]; then
    : "${FOCUSER_BENCH_PORTS:?set BUILD_DIR or run through scripts/test.sh}"
    BUILD_DIR=$(dirname "$FOCUSER_BENCH_PORTS")
fi
. "$repo/scripts/lib/driver.sh"
work=$BUILD_DIR/release-test/reproducible
fail() {
    echo "FAIL: $*"
    exit 1
}
# same FILE AGAIN WHAT: the two files are the same bytes.
same() {
    if ! cmp -s "$1" "$2"; then
        echo "first differing bytes (offset, octal values):"
        cmp -l "$1" "$2" | head -n 12 | sed 's/^/    /'
        fail "$3: $2 differs from $1 in $(cmp -l "$1" "$2" | wc -l) bytes"
    fi
    echo "ok   $3: the same $(stat -c %s "$1") bytes"
}

started=$SECONDS
rm -rf "$work"
mkdir -p "$work/source"
# The sources as they are in the work tree: tracked files and new ones.
(cd "$repo" && git ls-files -co --exclude-standard | while IFS= read -r f; do [ ! -f "$f" ] || echo "$f"; done |
    xargs -d '\n' cp --parents -t "$work/source") || fail "copying the sources"
cmake -S "$work/source" -B "$work/win64" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFOCUSER_BUILD_TESTS=OFF \
    -DFOCUSER_SETUP=OFF -DCMAKE_TOOLCHAIN_FILE="$work/source/cmake/toolchain-x86_64.cmake" >"$work/configure.log" 2>&1 ||
    fail "configuring $work/win64: $(tail -n 5 "$work/configure.log")"
cmake --build "$work/win64" --target MorvantisFocuser >"$work/build.log" 2>&1 ||
    fail "building the server in $work/win64: $(grep -m 5 -E 'error|FAILED' "$work/build.log")"
same "$BUILD_DIR/win64/MorvantisFocuser.dll" "$work/win64/MorvantisFocuser.dll" \
    "the 64-bit server built again elsewhere ($((SECONDS - started)) s)"

for bits in 32 64; do
    mkdir -p "$work/setup-files/win$bits"
    cp "$BUILD_DIR/win$bits"/{MorvantisFocuser.dll,FocuserCtl.exe,FocuserSim.exe} "$work/setup-files/win$bits/" ||
        fail "copying the $bits-bit files"
done
touch -d '2001-02-03 04:05:06' "$work"/setup-files/win*/*
driver_make_setup "$work/setup-files/win32" "$work/setup-files/win64" "$(driver_version)" "$work/setup.exe" ||
    fail "making the setup again"
same "$BUILD_DIR/MorvantisFocuserSetup.exe" "$work/setup.exe" "the setup made again from copies"
echo "reproducible_test: passed in $((SECONDS - started)) s"
