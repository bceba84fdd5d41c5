# Shared by scripts/demo.sh and the end-to-end tests (tests/e2e): registering the
# driver's two servers in a Wine prefix, its settings, and the controller
# simulator on one end of a null-modem pair. Source after scripts/lib/bench.sh,
# with WINEPREFIX set (bench_start_wine); every process started here is stopped
# by its process id.

DRIVER_PROFILE_KEY='HKLM\Software\ASCOM\Focuser Drivers\Morvantis.Focuser'
DRIVER_SIM_PID=
DRIVER_SIM_LOG=

driver_dll() { printf '%s\n' "$BUILD_DIR/win$1/MorvantisFocuser.dll"; }

# The product's version, MAJOR.MINOR.PATCH, as the top CMakeLists.txt gives it.
driver_version() {
    sed -n 's/^project(MorvantisFocuser VERSION \([0-9]*\.[0-9]*\.[0-9]*\) .*/\1/p' \
        "$(dirname "${BASH_SOURCE[0]}")/../../CMakeLists.txt"
}

# driver_make_setup TREE32 TREE64 VERSION SETUP [SIGN]: makes the setup program
# SETUP of that version from the servers and tools in the two folders (build
# trees, or a release's files), as the build makes its own; with SIGN (the
# program scripts/lib/sign) its uninstaller and itself are signed.
driver_make_setup() {
    local repo sign=()
    repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
    [ -n "${5:-}" ] && sign=(-DSIGN="$5")
    cmake -DMAKENSIS="$(command -v makensis)" -DSCRIPT="$repo/installer/MorvantisFocuser.nsi" \
        -DDLL32="$1/MorvantisFocuser.dll" -DDLL64="$2/MorvantisFocuser.dll" -DOUTFILE="$4" \
        -DTREE32="$1" -DTREE64="$2" -DSOURCE="$repo" -DVERSION="$3" "${sign[@]}" \
        -P "$repo/installer/MakeSetup.cmake" >/dev/null
}

# The Windows form of a Linux path (winepath through the 64-bit loader).
driver_winpath() { winerun 64 winepath -w "$1" 2>/dev/null; }

# The bitnesses whose programs run on this machine ("32 64" or "64"), and the
# one a step that needs only one of them uses: 32-bit where it runs, as the
# simulator and the installer always have.
driver_bits() {
    if winerun --runs32; then echo "32 64"; else echo 64; fi
}
driver_main_bits() {
    if winerun --runs32; then echo 32; else echo 64; fi
}

# driver_skip_32 WHAT: a script's note that its 32-bit half did not run here;
# scripts/test.sh counts each such line as a skipped test.
driver_skip_32() {
    winerun --runs32 && return 1
    echo "SKIP: $1 (this machine runs 64-bit code only)"
}

# The profile key lives in the 32-bit registry view, where both bitnesses of the
# driver (and ASCOM clients) look. Values are decimal text, as the driver writes them.
driver_reg() { winerun 64 reg "$@" /reg:32 >/dev/null 2>&1; }

# driver_settings PORT_INDEX MAX_POSITION: creates the profile key if needed.
driver_settings() {
    driver_reg add "$DRIVER_PROFILE_KEY" /v COM /t REG_SZ /d "$1" /f &&
        driver_reg add "$DRIVER_PROFILE_KEY" /v MaxPos /t REG_SZ /d "$2" /f
}

# The profile key's default value: the display name that registration writes.
driver_display_name() {
    winerun 64 reg query "$DRIVER_PROFILE_KEY" /ve /reg:32 2>/dev/null | tr -d '\r' |
        sed -n 's/^ *(Default) *REG_SZ *//p'
}

# driver_save_settings FILE / driver_restore_settings FILE: the profile key as it
# was (or its absence), so a test leaves the prefix as it found it.
driver_save_settings() {
    rm -f "$1"
    winerun 64 reg export "$DRIVER_PROFILE_KEY" "$(driver_winpath "$1")" /y /reg:32 >/dev/null 2>&1 || true
}
driver_restore_settings() {
    driver_reg delete "$DRIVER_PROFILE_KEY" /f
    if [ -s "$1" ]; then
        winerun 64 reg import "$(driver_winpath "$1")" /reg:32 >/dev/null 2>&1
    fi
}

# driver_register BITS / driver_unregister BITS: the regsvr32 of that bitness
# registers the server of that bitness. A failure names its exit status and what
# Wine's loader said (its errors and module warnings), on standard error.
driver_register() { _driver_regsvr32 "$1"; }
driver_unregister() { _driver_regsvr32 "$1" /u; }
_driver_regsvr32() {
    local said rc
    said=$(WINEDEBUG=err+all,warn+module winerun "$1" regsvr32 /s ${2:-} "$(driver_winpath "$(driver_dll "$1")")" 2>&1 </dev/null)
    rc=$?
    [ $rc = 0 ] || echo "regsvr32 ${2:+$2 }of the $1-bit server: exit status $rc${said:+: $said}" >&2
    return $rc
}

# Every bitness that runs here, each by its own regsvr32. Either one may be
# unregistered alone: the keys both registry views share stay while the other
# one is registered.
driver_register_both() {
    local bits
    for bits in $(driver_bits); do driver_register "$bits" || return 1; done
}
driver_unregister_both() {
    driver_unregister 64
    winerun --runs32 && driver_unregister 32
    return 0
}

# driver_sim_start COM_PORT LOG [FocuserSim options...]: starts the controller
# simulator and waits until it listens.
driver_sim_start() {
    local port=$1 i
    DRIVER_SIM_LOG=$2
    shift 2
    local bits
    bits=$(driver_main_bits)
    winerun "$bits" "$BUILD_DIR/win$bits/FocuserSim.exe" "$port" --no-stdin --seconds 900 "$@" >"$DRIVER_SIM_LOG" 2>&1 &
    DRIVER_SIM_PID=$!
    for i in $(seq 1 100); do
        grep -q 'listening on' "$DRIVER_SIM_LOG" 2>/dev/null && return 0
        kill -0 "$DRIVER_SIM_PID" 2>/dev/null || break
        sleep 0.1
    done
    echo "the simulator did not start on $port:" >&2
    cat "$DRIVER_SIM_LOG" >&2
    driver_sim_stop
    return 1
}

# Stops the simulator: Ctrl-C first (it prints where it stopped), then by force.
driver_sim_stop() {
    [ -n "$DRIVER_SIM_PID" ] || return 0
    local pid=$DRIVER_SIM_PID i
    DRIVER_SIM_PID=
    kill -INT "$pid" 2>/dev/null || true
    for i in $(seq 1 30); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}
