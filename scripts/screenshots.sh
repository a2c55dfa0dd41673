#!/bin/bash
# Pictures of kxphone as a user sees it, on an X server and window manager of their own
# (Xvfb and openbox): the dial pad, the contacts, the recent calls, and a call with
# kxcall sending its test pattern as video and as content, in each layout.
#
#   scripts/screenshots.sh [en|vn] [OUT_FOLDER]     (default: en, build/screenshots)
#
# Needs a built tree (scripts/build.sh) and port 1720 free on this machine.
set -euo pipefail

language="${1:-en}"
out="${2:-$(cd "$(dirname "$0")/.." && pwd)/build/screenshots}"
source "$(dirname "$0")/desktop-sandbox.sh"
sandbox_start "$language"
mkdir -p "$out"
sleep 4

shot() {
  ffmpeg -loglevel error -y -f x11grab -video_size 1600x900 -i "$display" -frames:v 1 \
    "$out/$language-$1.png"
  echo "$out/$language-$1.png"
}
window="$(xdotool search --sync --onlyvisible --name '^Kestrovia$' | head -1)"
xdotool windowactivate --sync "$window" >/dev/null 2>&1 || true
shot dialpad
# The three tabs sit left to right above the dial pad.
for tab in contacts:1 recents:2; do
  xdotool mousemove --window "$window" $((70 + 76 * ${tab#*:})) 45 click 1
  sleep 0.7
  shot "${tab%%:*}"
done
xdotool mousemove --window "$window" 70 45 click 1
sleep 0.5

# Dialling as a user does: an address typed into the line, then Return.
dial() {
  xdotool windowactivate --sync "$window" >/dev/null 2>&1 || true
  xdotool mousemove --window "$window" 150 112 click 1 # the address line
  sleep 0.3
  xdotool key --window "$window" ctrl+a
  xdotool type --window "$window" --delay 20 "$1"
  xdotool key --window "$window" Return
}
# A far end that rings and never answers: the call being placed, with its cancel button.
sandbox_spawn "$kxcall" --listen 1731 --bind 127.0.0.1 --answer never --calls 1 \
  --name "Meeting room 2" >"$work/ringing.log" 2>&1
ringing=$!
sleep 1
dial 127.0.0.1:1731
sleep 2
shot calling
kill "$ringing" 2>/dev/null || true
sleep 1
# Nothing listens at that address: the call fails, and the window says why.
dial 127.0.0.1:1799
sleep 2
shot call-failed

# A call: kxcall sends its pattern as video, and the same as content after 2 s.
sandbox_spawn "$kxcall" --call 127.0.0.1:1720 --name "Meeting room 2" --video fake \
  --video-size 1280x720 --present --present-delay 2000 --hangup-after 30 >"$work/kxcall.log" 2>&1
sleep 6
shot call
xdotool windowactivate --sync "$window" >/dev/null 2>&1 || true
xdotool mousemove --window "$window" 700 400
sleep 0.3
for layout in 2 3 4; do
  xdotool key ctrl+1
  sleep 2
  shot "call-layout-$layout"
done
