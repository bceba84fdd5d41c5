#!/usr/bin/env bash
# Makes the release of the commit checked out, in dist/:
#   MorvantisFocuserSetup-<version>.exe   the setup program
#   MorvantisFocuser-<version>.zip        both servers and the tools (x86/, x64/)
#                                         with the README, to register by hand
#   MorvantisFocuser-<version>-notes.md   the release notes, from CHANGELOG.md
#   SHA256SUMS                            the checksums of the three
# from a clean tree, with both bitnesses built afresh in build-release/. Two
# runs on one commit, in any two folders, give the same files.
# With FOCUSER_SIGN_PFX (a PKCS#12 certificate file) and FOCUSER_SIGN_PASSWORD,
# every server and tool, the setup and its uninstaller are Authenticode-signed
# (scripts/lib/sign); without them the release is not signed, and says so.
# Usage: scripts/release.sh
set -eu
. "$(dirname "$0")/lib/bench.sh"
. "$REPO_DIR/scripts/lib/driver.sh"

fail() {
    echo "release: $*" >&2
    exit 1
}

cd "$REPO_DIR"
[ -z "$(git status --porcelain)" ] ||
    fail "the tree has changes that are not committed (git status): a release is made of a commit"
version=$(driver_version)
[ -n "$version" ] || fail "no version in CMakeLists.txt's project()"
signing=
if [ -n "${FOCUSER_SIGN_PFX:-}" ]; then
    [ -f "$FOCUSER_SIGN_PFX" ] || fail "FOCUSER_SIGN_PFX: no file $FOCUSER_SIGN_PFX"
    FOCUSER_SIGN_PFX=$(readlink -f "$FOCUSER_SIGN_PFX")
    export FOCUSER_SIGN_PFX
    signing=1
fi

# The release notes: the top section of CHANGELOG.md, which must be this version's.
notes_section=$(awk -v version="$version" '
    /^## / { if (seen) exit; seen = 1; if ($2 != version) exit 1; next }
    seen { print }' CHANGELOG.md) ||
    fail "CHANGELOG.md's first section is not '## $version': write this version's notes first"
[ -n "$(tr -d '[:space:]' <<<"$notes_section")" ] || fail "CHANGELOG.md's section for $version is empty"

bench_install || fail "installing the build's packages"
extra=(zip)
[ -n "$signing" ] && extra+=(osslsigncode)
for p in "${extra[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$p" >/dev/null ||
        fail "installing $p"
done

# Whatever a tool would stamp with the time it ran gets the commit's time.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH
export TZ=UTC
umask 022

out=$REPO_DIR/build-release
dist=$REPO_DIR/dist
rm -rf "$out" "$dist"
mkdir -p "$dist"
for arch in i686:win32 x86_64:win64; do
    tree=$out/${arch#*:}
    echo "== building $tree"
    cmake -S "$REPO_DIR" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFOCUSER_BUILD_TESTS=OFF \
        -DFOCUSER_SETUP=OFF -DCMAKE_TOOLCHAIN_FILE="$REPO_DIR/cmake/toolchain-${arch%%:*}.cmake" >/dev/null ||
        fail "configuring $tree"
    cmake --build "$tree" --target MorvantisFocuser FocuserCtl FocuserSim >/dev/null || fail "building $tree"
done

# What ships, signed in one place before it goes into the setup and the zip.
stage=$out/stage
shipped=(MorvantisFocuser.dll FocuserCtl.exe FocuserSim.exe)
for bits in 32 64; do
    mkdir -p "$stage/win$bits"
    for f in "${shipped[@]}"; do
        cp "$out/win$bits/$f" "$stage/win$bits/$f"
    done
done
if [ -n "$signing" ]; then
    echo "== signing with $FOCUSER_SIGN_PFX"
    "$REPO_DIR/scripts/lib/sign" "$stage"/win32/* "$stage"/win64/* || fail "signing"
fi

echo "== the setup program"
setup=MorvantisFocuserSetup-$version.exe
driver_make_setup "$stage/win32" "$stage/win64" "$version" "$dist/$setup" \
    ${signing:+"$REPO_DIR/scripts/lib/sign"} || fail "making the setup program"

echo "== the zip"
zipdir=$out/zip
zipname=MorvantisFocuser-$version.zip
mkdir -p "$zipdir/x86" "$zipdir/x64"
cp "$stage"/win32/* "$zipdir/x86/"
cp "$stage"/win64/* "$zipdir/x64/"
cp README.md "$zipdir/"
cp examples/focuser.vbs "$zipdir/"
# The same entries, times, modes and order from any clone: zip stores no owner
# or extra time fields with -X, and its local times are UTC here.
chmod 0644 "$zipdir"/*.* "$zipdir"/x86/* "$zipdir"/x64/*
find "$zipdir" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
(cd "$zipdir" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | zip -X -D -q -@ "$dist/$zipname") ||
    fail "making the zip"

notes=MorvantisFocuser-$version-notes.md
{
    echo "# Morvantis Focuser $version"
    printf '%s\n' "$notes_section"
    echo
    if [ -n "$signing" ]; then
        echo "The setup program, its uninstaller, both servers and the tools are Authenticode-signed."
    else
        echo "This release is not signed: Windows warns before it runs the setup program."
        echo "Compare the files' SHA-256 checksums with SHA256SUMS."
    fi
} >"$dist/$notes"

(cd "$dist" && sha256sum "$setup" "$zipname" "$notes" >SHA256SUMS)
echo "== dist/"
ls -l "$dist"
cat "$dist/SHA256SUMS"
if [ -n "$signing" ]; then
    echo "Signed with $FOCUSER_SIGN_PFX."
else
    echo "Not signed: FOCUSER_SIGN_PFX is not set (see the README on signing a release)."
fi
