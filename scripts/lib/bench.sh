# Shared by scripts/test.sh, scripts/demo.sh and scripts/bench.sh: installs what is
# missing, builds both trees, prepares a Wine prefix with COM ports on null-modem
# pty pairs, and stops everything it started by process id.
# Source it; then call bench_* functions. Set BUILD_DIR before sourcing to use
# another build folder (default: <repo>/build).

REPO_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD_DIR=${BUILD_DIR:-$REPO_DIR/build}
BENCH_PIDS=()
BENCH_GROUPS=()
BENCH_LANES=()
BENCH_CLEANED=0
# Every script and test starts Wine programs through winerun, which picks the
# loader of the program's bitness.
case ":$PATH:" in *":$REPO_DIR/scripts/lib:"*) ;; *) export PATH=$REPO_DIR/scripts/lib:$PATH ;; esac

bench_log() { printf '%s\n' "$*" >&2; }

BENCH_PACKAGES=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools libwine-dev wine wine32 wine64
    fonts-wine socat xvfb xauth imagemagick cmake ninja-build googletest nsis procps python3 clang osslsigncode openssl zip)

# Installs the Debian packages the bench needs; does nothing when all are there.
bench_install() {
    local missing=()
    local p
    for p in "${BENCH_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    bench_log "Installing: ${missing[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null && return 0
    # A mirror caught mid-sync can leave one architecture's security index out,
    # and then the i386 and amd64 halves of a library no longer match: the
    # release's own archive still has both.
    local release
    release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [ -n "$release" ] || return 1
    bench_log "Installing again from $release alone"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends -t "$release" "${missing[@]}" >/dev/null
}

# bench_probe: says in one line whether this machine runs 32-bit code, and
# exports BENCH_RUNS32 (1 or 0) for the scripts and tests started after it. With
# FOCUSER_BENCH_64_ONLY=1 the answer is no, and Debian's plain wine, wineboot and
# winepath, which go through the 32-bit loader, fail here as they do on such a
# machine ("Exec format error"), so a step that still uses them shows up.
bench_probe() {
    if winerun --probe; then
        export BENCH_RUNS32=1
        return 0
    fi
    export BENCH_RUNS32=0
    if [ "${FOCUSER_BENCH_64_ONLY:-0}" = 1 ]; then
        local shims=$BUILD_DIR/bench-64only-bin name
        mkdir -p "$shims"
        for name in wine wine-stable wineboot winepath wineconsole; do
            printf '#!/bin/sh\necho "%s: cannot execute: Exec format error (the bench runs as on a machine that runs 64-bit code only)" >&2\nexit 126\n' \
                "$name" >"$shims/$name"
            chmod +x "$shims/$name"
        done
        export PATH=$shims:$PATH
    fi
}

# bench_build: configures and builds build/win32 and build/win64.
bench_build() {
    bench_build_tree win32 && bench_build_tree win64
}

# bench_build_tree win32|win64: configures (once) and builds one tree. The 64-bit
# tree makes the setup program, which carries the 32-bit server: build win32 first.
bench_build_tree() {
    local tree=$BUILD_DIR/$1 arch=i686
    [ "$1" = win64 ] && arch=x86_64
    if [ ! -f "$tree/build.ninja" ]; then
        cmake -S "$REPO_DIR" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_TOOLCHAIN_FILE="$REPO_DIR/cmake/toolchain-$arch.cmake" >/dev/null || return 1
    fi
    cmake --build "$tree" -- -k 0
}

# bench_build_clang: builds what ships (the servers, the tools, the simulator and
# the examples) again with clang++ for the 64-bit target, into build/clang64, to
# keep it portable to a second compiler with the same warnings as errors. GCC's
# builds hold the 32-bit code and the tests to them. Nothing built there is run,
# so it is not optimised: its cost is the suite's. (cmake/toolchain-clang-i686.cmake
# builds the 32-bit one by hand.)
bench_build_clang() {
    local arch tree
    for arch in x86_64:clang64; do
        tree=$BUILD_DIR/${arch#*:}
        if [ ! -f "$tree/build.ninja" ]; then
            cmake -S "$REPO_DIR" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE= -DFOCUSER_BUILD_TESTS=OFF \
                -DCMAKE_TOOLCHAIN_FILE="$REPO_DIR/cmake/toolchain-clang-${arch%%:*}.cmake" -DFOCUSER_SETUP=OFF \
                >/dev/null || return 1
        fi
        cmake --build "$tree" -- -k 0 || return 1
    done
}

# Wine environment for everything started after this.
bench_wine_env() {
    export WINEPREFIX=${WINEPREFIX:-$BUILD_DIR/wineprefix}
    bench_wine_settings
}
# What every Wine program of the bench runs with, whatever its prefix.
bench_wine_settings() {
    export WINEARCH=win64
    export WINEDEBUG=${WINEDEBUG:--all}
    export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
}

_bench_track() { BENCH_PIDS+=("$1"); }
# A process that leads a group of its own (setsid): the cleanup stops the group.
_bench_track_group() { BENCH_GROUPS+=("$1"); }

# Stops one process this run started and forgets it.
_bench_stop() {
    local pid=$1 i kept=()
    kill "$pid" 2>/dev/null || true
    for i in $(seq 1 30); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    for i in "${BENCH_PIDS[@]}"; do [ "$i" = "$pid" ] || kept+=("$i"); done
    BENCH_PIDS=("${kept[@]}")
}

# Starts Xvfb on a free display and exports DISPLAY. Must run before the wineserver.
# Another bench may take the same display number at the same moment: Xvfb then
# ends at once, and the next number is tried.
bench_start_xvfb() {
    local n i pid
    for n in $(seq 90 160); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
        pid=$!
        for i in $(seq 1 50); do
            kill -0 "$pid" 2>/dev/null || break
            if [ -e "/tmp/.X11-unix/X$n" ] && [ "$(tr -d ' ' <"/tmp/.X$n-lock" 2>/dev/null)" = "$pid" ]; then
                _bench_track "$pid"
                export DISPLAY=":$n"
                return 0
            fi
            sleep 0.1
        done
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    bench_log "Xvfb did not start on any display from :90 to :160"
    return 1
}

# The pristine prefix that every prefix of the bench starts as a copy of: made
# once by wineboot (cached under the build folder, never used itself), with the
# dialog frames drawn by Wine and the fonts it ships installed. Shared by the
# runs of one build folder, so the lock keeps two from making it at once.
BENCH_TEMPLATE=${FOCUSER_BENCH_TEMPLATE:-$BUILD_DIR/wine-template}
bench_make_template() {
    mkdir -p "$(dirname "$BENCH_TEMPLATE")"
    (
        flock 9
        [ -f "$BENCH_TEMPLATE/.bench-ready" ] && exit 0
        rm -rf "$BENCH_TEMPLATE"
        mkdir -p "$BENCH_TEMPLATE"
        bench_wine_settings
        export WINEPREFIX=$BENCH_TEMPLATE
        bench_log "Preparing the Wine prefix template $WINEPREFIX"
        wineserver -f -p >/dev/null 2>&1 &
        server=$!
        winerun 64 wineboot -i >/dev/null 2>&1
        # Without a window manager Wine draws dialog frames itself when unmanaged.
        winerun 64 reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
        # The registry reaches its files when the server ends.
        wineserver -k >/dev/null 2>&1
        wait "$server" 2>/dev/null
        if [ ! -d "$WINEPREFIX/drive_c/windows/system32" ] || [ ! -d "$WINEPREFIX/dosdevices" ]; then
            bench_log "wineboot could not prepare the Wine prefix $WINEPREFIX"
            exit 1
        fi
        # This Wine does not find the fonts it ships: every face falls back to one
        # sans font, dialogs lose MS Sans Serif's metrics (labels wrap) and caption
        # buttons their Marlett glyphs. Installed into the prefix, they are found.
        if [ -d /usr/share/wine/fonts ]; then
            cp -n /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
        fi
        touch "$WINEPREFIX/.bench-ready"
    ) 9>"$BENCH_TEMPLATE.lock"
}

# bench_clone_prefix DEST: a fresh prefix, as the template is. The program images
# (a gigabyte) are hard links, since Wine only ever reads them; everything else
# (the registry, the ini files, the folders) is a copy of its own.
bench_clone_prefix() {
    local dest=$1
    bench_make_template || return 1
    rm -rf "$dest"
    mkdir -p "$(dirname "$dest")"
    cp -al "$BENCH_TEMPLATE" "$dest.tmp" || return 1
    (cd "$dest.tmp" && find . -type f ! -iname '*.dll' ! -iname '*.exe' ! -iname '*.drv' ! -iname '*.sys' \
        ! -iname '*.ttf' ! -iname '*.fon' ! -iname '*.acm' ! -iname '*.cpl' ! -iname '*.ocx' ! -iname '*.tlb' \
        -print0 | xargs -0 -r -n 64 sh -c 'for f; do cp -p "$f" "$f.copy" && mv -f "$f.copy" "$f"; done' _) || return 1
    mv "$dest.tmp" "$dest"
}

# bench_prefix_up PREFIX: starts the prefix's persistent wineserver (tracked) and
# takes away COM1 to COM4, which tests rely on not existing. Run with the
# environment the prefix's programs should see (DISPLAY).
bench_prefix_up() {
    local prefix=$1 n
    WINEPREFIX=$prefix wineserver -f -p >/dev/null 2>&1 &
    _bench_track $!
    # Removed only after the first wine call: it starts the prefix's device
    # services, which link com1 to /dev/ttyS0 again where the host has one.
    WINEPREFIX=$prefix winerun 64 reg delete 'HKLM\Software\Wine\Ports' /f >/dev/null 2>&1 || true
    for n in 1 2 3 4; do rm -f "$prefix/dosdevices/com$n"; done
}

# Prepares the prefix of WINEPREFIX once (cached under the build folder) and
# starts one persistent wineserver for the whole run.
bench_start_wine() {
    bench_wine_env
    if [ ! -f "$WINEPREFIX/.bench-ready" ]; then
        bench_clone_prefix "$WINEPREFIX" || return 1
    fi
    bench_prefix_up "$WINEPREFIX"
}

# The test lanes: tests run side by side, each in a lane of its own, and every
# lane has its own prefix (cached), wineserver, X display and null-modem ports, so
# that no test sees another's registry, serial line or windows. CTest hands out
# the lanes as resources (the file written below); cmake/RunTest.cmake points a test
# at its lane.
BENCH_LANES_DIR=$BUILD_DIR/suite/lanes

# bench_start_lanes N: lanes 1 to N up, and $BENCH_LANES_DIR/lanes.json for ctest.
bench_start_lanes() {
    local count=$1 lane dir display entries=
    bench_wine_settings
    for lane in $(seq 1 "$count"); do
        dir=$BENCH_LANES_DIR/$lane
        mkdir -p "$dir/ports"
        if [ ! -f "$dir/wineprefix/.bench-ready" ]; then
            bench_clone_prefix "$dir/wineprefix" || return 1
        fi
        bench_start_xvfb || return 1
        display=$DISPLAY
        echo "$display" >"$dir/display"
        WINEPREFIX=$dir/wineprefix DISPLAY=$display bench_prefix_up "$dir/wineprefix"
        BENCH_LANES+=("$dir")
        entries+="${entries:+,}{\"id\":\"$lane\",\"slots\":1}"
    done
    printf '{"version":{"major":1,"minor":0},"local":[{"lanes":[%s]}]}\n' "$entries" >"$BENCH_LANES_DIR/lanes.json"
    export FOCUSER_BENCH_LANES_DIR=$BENCH_LANES_DIR
}

# bench_pair A B: a null-modem pair between COMa and COMb of the prefix, made
# fresh each time (scripts/lib/bench-pair); bench_cleanup stops it.
bench_pair() {
    BUILD_DIR=$BUILD_DIR bench-pair "$1" "$2"
}

# Stops everything this run started, newest first, by process id.
bench_cleanup() {
    [ "$BENCH_CLEANED" = 1 ] && return 0
    BENCH_CLEANED=1
    local i pid dir
    if [ -n "${WINEPREFIX:-}" ]; then
        wineserver -k >/dev/null 2>&1 || true
    fi
    BUILD_DIR=$BUILD_DIR bench-pair --stop
    local stopping=()
    for dir in "${BENCH_LANES[@]}"; do
        (
            WINEPREFIX=$dir/wineprefix wineserver -k >/dev/null 2>&1
            FOCUSER_BENCH_PORTS=$dir/ports bench-pair --stop
        ) &
        stopping+=($!)
    done
    for pid in "${stopping[@]}"; do wait "$pid" 2>/dev/null; done
    BENCH_LANES=()
    for pid in "${BENCH_GROUPS[@]}"; do
        kill -- "-$pid" 2>/dev/null || true
    done
    BENCH_GROUPS=()
    for ((i = ${#BENCH_PIDS[@]} - 1; i >= 0; i--)); do
        pid=${BENCH_PIDS[$i]}
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${BENCH_PIDS[@]}"; do
        for i in $(seq 1 30); do
            bench_alive "$pid" || break
            sleep 0.1
        done
        kill -9 "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    BENCH_PIDS=()
}

# Whether a process still runs: one that has ended but is not yet waited for (a
# zombie) answers kill -0 all the same.
bench_alive() {
    local state
    state=$(sed -n 's/^[0-9]* (.*) \([A-Z]\).*/\1/p' "/proc/$1/stat" 2>/dev/null)
    [ -n "$state" ] && [ "$state" != Z ]
}

bench_trap() {
    trap 'bench_cleanup' EXIT
    trap 'bench_cleanup; exit 130' INT
    trap 'bench_cleanup; exit 143' TERM
}
