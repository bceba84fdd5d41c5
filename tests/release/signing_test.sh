#!/usr/bin/env bash
# A release signed with a certificate (a throwaway one made here): the servers
# and tools signed as scripts/release.sh signs them, and the setup program made
# from them with its signing hooks, pass osslsigncode verify; in a fresh prefix
# the signed setup installs the signed files and an uninstaller that verifies,
# and the signed servers it registered serve clients of both bitnesses.
. "$(dirname "$0")/../installer/installer_lib.sh"

sign=$here/../../scripts/lib/sign
signed=$WORK/signed
mkdir -p "$signed/win32" "$signed/win64"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$WORK/key.pem" -out "$WORK/cert.pem" -days 2 \
    -subj "/CN=Morvantis test signing" -addext extendedKeyUsage=codeSigning >/dev/null 2>&1 &&
    openssl pkcs12 -export -inkey "$WORK/key.pem" -in "$WORK/cert.pem" -out "$WORK/test.pfx" \
        -passout pass:throwaway || fail "making the throwaway certificate"
export FOCUSER_SIGN_PFX=$WORK/test.pfx FOCUSER_SIGN_PASSWORD=throwaway
for bits in 32 64; do
    cp "$BUILD_DIR/win$bits"/{MorvantisFocuser.dll,FocuserCtl.exe,FocuserSim.exe} "$signed/win$bits/" ||
        fail "copying the $bits-bit files"
done
"$sign" "$signed"/win32/* "$signed"/win64/* || fail "signing the servers and tools"
driver_make_setup "$signed/win32" "$signed/win64" "$VERSION" "$WORK/setup.exe" "$sign" ||
    fail "making the signed setup"

# expect_signed FILE: signed by the throwaway certificate, and unchanged since.
expect_signed() {
    local log=$WORK/verify-$(basename "$(dirname "$1")")-$(basename "$1").log
    osslsigncode verify -CAfile "$WORK/cert.pem" -in "$1" >"$log" 2>&1 ||
        fail "$1 does not verify: $(grep -iE 'fail|error|mismatch' "$log" | head -n 3)"
    grep -q '^Signature verification: ok' "$log" && grep -q 'Subject: /CN=Morvantis test signing' "$log" ||
        fail "$1: no signature of the test certificate: $(cat "$log")"
    ok "signed and verified: ${1#"$WORK"/}"
}
for f in "$signed"/win32/* "$signed"/win64/* "$WORK/setup.exe"; do
    expect_signed "$f"
done

echo "== the signed setup installed"
winerun 32 "$WORK/setup.exe" /S
rc=$?
[ $rc -eq 0 ] || fail "the signed setup exited with $rc"
ok "the signed setup exits with 0"
expect_signed "$dir32/Uninstall.exe"
for f in "$dir32/MorvantisFocuser.dll:win32/MorvantisFocuser.dll" "$dir64/MorvantisFocuser.dll:win64/MorvantisFocuser.dll" \
    "$dir64/FocuserCtl.exe:win64/FocuserCtl.exe"; do
    expect "installed as signed: ${f#*:}" cmp -s "${f%%:*}" "$signed/${f#*:}"
done
start_simulator
for bits in 32 64; do
    target=$((bits * 10))
    winerun $bits "$BUILD_DIR/win$bits/FocuserCtl.exe" link move $target position unlink >"$WORK/client$bits.log" 2>&1 ||
        fail "the $bits-bit client on the signed server: $(tr -d '\r' <"$WORK/client$bits.log")"
    tr -d '\r' <"$WORK/client$bits.log" | grep -Eq "(^|[^0-9])$target([^0-9]|$)" ||
        fail "the $bits-bit client did not report position $target"
    ok "the signed $bits-bit server, registered by the setup, linked and moved to $target"
done
stop_simulator
installer_done
