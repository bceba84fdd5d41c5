#!/usr/bin/env bash
# The setup and the version already installed: an upgrade from an older version
# keeps the settings and takes the entry to this version; over a newer version
# a silent setup refuses with exit code 5 and changes nothing, unless /FORCE.
# The older and the newer setup are made from the same script and the build's
# files, with another version.
. "$(dirname "$0")/installer_lib.sh"

IFS=. read -r major minor patch <<<"$VERSION"
if [ "$patch" -gt 0 ]; then
    older=$major.$minor.$((patch - 1))
elif [ "$minor" -gt 0 ]; then
    older=$major.$((minor - 1)).0
else
    older=$((major - 1)).9.0
fi
newer=$major.$minor.$((patch + 1))
makers=()
for v in "$older" "$newer"; do
    driver_make_setup "$BUILD_DIR/win32" "$BUILD_DIR/win64" "$v" "$WORK/setup-$v.exe" &
    makers+=($!)
done
for pid in "${makers[@]}"; do
    wait "$pid" || fail "making the setups of $older and $newer"
done
ok "setups of $older and $newer made"

entry_version() { named_value 32 "$UNINSTALL" DisplayVersion; }
# expect_settings WHAT: the settings written after the first install are there.
expect_settings() {
    [ "$(named_value 32 "$PROFILE" COM)" = 5 ] && [ "$(named_value 32 "$PROFILE" MaxPos)" = 4321 ] ||
        fail "$1: the settings are not kept: $(reg32 query "$PROFILE")"
    ok "$1: COM and MaxPos kept"
}
# install SETUP WHAT [ARGS...]: a silent install that must succeed.
install() {
    local setup=$1 what=$2
    shift 2
    winerun 32 "$setup" /S "$@"
    local rc=$?
    [ $rc -eq 0 ] || fail "$what: the setup exited with $rc"
}

echo "== $older installed, then upgraded to $VERSION"
install "$WORK/setup-$older.exe" "install of $older"
[ "$(entry_version)" = "$older" ] || fail "DisplayVersion after installing $older: $(entry_version)"
reg32 add "$PROFILE" /v COM /d 5 /f >/dev/null && reg32 add "$PROFILE" /v MaxPos /d 4321 /f >/dev/null ||
    fail "writing the settings"
install "$SETUP" "upgrade from $older"
[ "$(entry_version)" = "$VERSION" ] || fail "DisplayVersion after the upgrade: $(entry_version)"
ok "the upgrade from $older installs $VERSION"
expect_settings "upgrade from $older"

echo "== $newer installed, then $VERSION over it"
install "$WORK/setup-$newer.exe" "upgrade to $newer"
[ "$(entry_version)" = "$newer" ] || fail "DisplayVersion after installing $newer: $(entry_version)"
snapshot newer
find "$dir32" "$dir64" -type f -printf '%p %C@\n' | LC_ALL=C sort >"$WORK/newer-times.txt"
winerun 32 "$SETUP" /S
rc=$?
[ $rc -eq 5 ] || fail "the setup of $VERSION over $newer exited with $rc, not 5"
ok "the setup of $VERSION refuses to install over $newer (exit code 5)"
expect_unchanged newer refused "after the refusal"
find "$dir32" "$dir64" -type f -printf '%p %C@\n' | LC_ALL=C sort | diff "$WORK/newer-times.txt" - ||
    fail "the refused setup wrote files"
ok "the refused setup wrote no file"
install "$SETUP" "/FORCE over $newer" /FORCE
[ "$(entry_version)" = "$VERSION" ] || fail "DisplayVersion after /FORCE: $(entry_version)"
ok "with /FORCE the setup installs $VERSION over $newer"
expect_settings "/FORCE over $newer"
installer_done
