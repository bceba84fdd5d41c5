#!/usr/bin/env bash
# Makes the pictures in docs/ from the code as it is: the setup program's
# pages, the setup dialog and a doctor run, on the Wine bench under Xvfb, in a
# Wine prefix of its own (the setup program really installs there). Run from
# the repository as root on Debian: bash scripts/screenshots.sh
# On a machine that runs 64-bit code only it makes the setup dialog's picture
# alone: the setup program is a 32-bit program, and the doctor pictures show
# both servers installed.
set -u
. "$(dirname "$0")/lib/bench.sh"
DOCS=$REPO_DIR/docs
export WINEPREFIX=$BUILD_DIR/screenshot-prefix
bench_trap

fail() {
    echo "screenshots: $*" >&2
    exit 1
}

bench_install || fail "installing the Debian packages"
bench_probe
command -v xdotool >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq xdotool >/dev/null ||
    fail "installing xdotool"
bench_build >/dev/null || fail "the build"
[ -f "$BUILD_DIR/MorvantisFocuserSetup.exe" ] || fail "no setup program (makensis missing?)"
rm -rf "$WINEPREFIX"
bench_start_xvfb || fail "Xvfb"
bench_start_wine || fail "preparing the Wine prefix"
. "$REPO_DIR/scripts/lib/driver.sh"
mkdir -p "$DOCS"

# wait_window TITLE: the X window id of the newest visible window whose whole
# title matches the regular expression TITLE.
wait_window() {
    local i id
    for i in $(seq 1 200); do
        id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | tail -n 1)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    return 1
}
# shot TITLE FILE: waits for the window to finish drawing, then takes it. The
# window is looked up again: Wine may replace a new window's X window while it
# settles (the setup dialog's first one is gone within a second).
shot() {
    local id
    sleep 1.5
    id=$(wait_window "$1") || { xwininfo -root -tree >&2; fail "no window '$1' for $2"; }
    timeout 30 import -window "$id" "$DOCS/$2" || fail "capturing $2"
    echo "docs/$2"
}

if [ "$BENCH_RUNS32" = 1 ]; then
    # The setup program's pages: welcome, components, folder, then the install and
    # its finish page, driven by the keyboard as a user would.
    title="Morvantis Focuser $(driver_version) Setup"
    # The pages after the first add a space to the caption.
    page_title="$title *"
    winerun 32 "$BUILD_DIR/MorvantisFocuserSetup.exe" >/dev/null 2>&1 &
    setup=$!
    win=$(wait_window "$title") || fail "no window '$title'"
    shot "$page_title" setup-welcome.png
    for page in setup-components.png setup-folder.png; do
        xdotool key --window "$win" Return
        shot "$page_title" "$page"
    done
    xdotool key --window "$win" Return # Install
    for i in $(seq 1 300); do
        xdotool search --name "^$page_title\$" >/dev/null 2>&1 || break
        [ -f "$WINEPREFIX/drive_c/Program Files (x86)/Morvantis/Uninstall.exe" ] && break
        sleep 0.1
    done
    sleep 3
    shot "$page_title" setup-finish.png
    # Through the X server's own keyboard (the page has the focus), not as an
    # event sent to the window: the window goes at the key's press, the release sent
    # after it is lost, and Wine then hands the next program's dialog a Return.
    xdotool windowfocus --sync "$win"
    xdotool key Return
    wait "$setup" 2>/dev/null

    ctl64="$WINEPREFIX/drive_c/Program Files/Morvantis/FocuserCtl.exe"
else
    echo "Left out: the setup program's pages (a 32-bit program) and the doctor runs (both servers installed)"
    driver_reg add "$DRIVER_PROFILE_KEY" /f && driver_register 64 || fail "registering the 64-bit server"
    ctl64=$BUILD_DIR/win64/FocuserCtl.exe
fi

bench_pair 5 6
driver_settings 5 20000

# The setup dialog as the "Focuser setup" shortcut opens it, with the settings
# just stored; Cancel closes it unchanged.
winerun 64 "$ctl64" setup >$BUILD_DIR/screenshot-setup.log 2>&1 &
ctl=$!
shot "Setup Morvantis Focuser" setup-dialog.png
win=$(wait_window "Setup Morvantis Focuser") || fail "no setup dialog"
xdotool key --window "$win" Escape 2>/dev/null
for i in $(seq 1 100); do
    kill -0 "$ctl" 2>/dev/null || break
    sleep 0.1
done
kill "$ctl" 2>/dev/null
wait "$ctl" 2>/dev/null

if [ "$BENCH_RUNS32" = 1 ]; then
    # A doctor run: the installed tool's own output, healthy and with the controller off.
    driver_sim_start COM5 "$BUILD_DIR/screenshot-sim.log" || fail "the simulator"
    winerun 64 "$ctl64" doctor --move 500 2>&1 | tr -d '\r' >"$BUILD_DIR/doctor-healthy.txt"
    driver_sim_stop
    winerun 64 "$ctl64" doctor 2>&1 | tr -d '\r' >"$BUILD_DIR/doctor-broken.txt"
    for run in healthy broken; do
        # The text as a console shows it: the run's own output, drawn in a monospace font.
        # (ImageMagick's policy refuses label:@file, so the text goes in as an argument.)
        text="C:\\> FocuserCtl doctor$([ $run = healthy ] && echo ' --move 500')
    $(cat "$BUILD_DIR/doctor-$run.txt")"
        # label: reads backslashes and percent signs as escapes: double them.
        text=${text//\\/\\\\}
        text=${text//%/%%}
        convert -background '#0c0c0c' -fill '#cccccc' -font DejaVu-Sans-Mono -pointsize 13 \
            -bordercolor '#0c0c0c' -border 12 label:"$text" "$DOCS/doctor-$run.png" || fail "drawing doctor-$run.png"
        echo "docs/doctor-$run.png"
    done
fi
echo "Screenshots made in $DOCS"
