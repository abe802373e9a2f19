#!/usr/bin/env bash
# tessaly-converter on a virtual X display (Xvfb), driven by keys alone, as
# someone without a mouse would: the source's path, Tab to the destination
# and its path, Tab to the compression choice and Down to No Compression,
# Alt+C. The video must appear, uncompressed (24 bits per pixel, BI_RGB),
# with the message box over the dialog; Return closes the box and Alt+E
# ends the program with status 0.
#
# There is no window manager on the display: the keyboard focus is given to
# the window the keys are for with XSetInputFocus (xdotool windowfocus),
# which needs none. Exits 77 (skipped) without Xvfb or xdotool.
#
# usage: dialog-keys-x11.sh TESSALY-CONVERTER SAMPLE.gif
set -euo pipefail
converter=$1
sample=$2
for tool in Xvfb xdotool; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    for log in "$work"/*.log; do echo "--- $log"; cat "$log"; done
    exit 1
}
# until_within SECONDS WHAT COMMAND...: polls COMMAND until it succeeds.
until_within() {
    local limit=$1 what=$2
    local end=$((SECONDS + limit))
    shift 2
    until "$@"; do
        ((SECONDS < end)) || fail "$what within $limit s"
        sleep 0.1
    done
}
# The visible windows titled as the dialog (its message boxes are too).
windows() { xdotool search --onlyvisible --name '^Tessaly Converter$' 2>/dev/null || true; }
focus() { timeout 30 xdotool windowfocus --sync "$1" || fail "the focus did not go to window $1"; }

# Xvfb chooses a free display and writes its number once it takes clients.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=("$!")
until_within 30 "Xvfb did not start" grep -q . "$work/display"
DISPLAY=":$(head -n 1 "$work/display")"
export DISPLAY
unset WAYLAND_DISPLAY

cp "$sample" "$work/in.gif"
XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=xcb "$converter" >"$work/converter.log" 2>&1 &
converter_pid=$!
pids+=("$converter_pid")
has_window() { [ -n "$(windows)" ]; }
until_within 60 "the dialog did not appear" has_window
dialog=$(windows | head -n 1)

focus "$dialog"
xdotool key --delay 50 alt+s # the source field, wherever the focus was
xdotool type --delay 20 "$work/in.gif"
xdotool key --delay 50 Tab Tab
xdotool type --delay 20 "$work/out.avi"
xdotool key --delay 50 Tab Tab Down alt+c

# The video is renamed into place when complete; the box follows it.
message_box() { windows | grep -vx "$dialog" | head -n 1; }
converted() { [ -f "$work/out.avi" ] && [ -n "$(message_box)" ]; }
until_within 60 "no video and message box" converted

# BITMAPINFOHEADER, after "strf" and the chunk's size: biBitCount at 14,
# biCompression at 16.
strf=$(grep -obUa strf "$work/out.avi" | head -n 1 | cut -d: -f1)
[ -n "$strf" ] || fail "the video has no stream format"
field() { od -An -j $((strf + 8 + $1)) -N "$2" -t "u$2" --endian=little "$work/out.avi" | tr -d ' '; }
[ "$(field 14 2)" = 24 ] || fail "biBitCount $(field 14 2), not 24"
[ "$(field 16 4)" = 0 ] || fail "biCompression $(field 16 4), not 0 (BI_RGB)"

box=$(message_box)
focus "$box"
xdotool key Return
box_closed() { ! windows | grep -qx "$box"; }
until_within 30 "the message box did not close" box_closed
focus "$dialog"
xdotool key alt+e
ended() { ! kill -0 "$converter_pid" 2>/dev/null; }
until_within 30 "Alt+E did not end the program" ended
status=0
wait "$converter_pid" || status=$?
[ "$status" = 0 ] || fail "tessaly-converter exited with $status"
echo "converted by keys alone: $(stat -c %s "$work/out.avi") bytes, uncompressed"
