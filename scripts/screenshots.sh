#!/bin/bash
# Pictures of kxphone as a user sees it, on an X server and window manager of their own
# (Xvfb and openbox): the dial pad, the contacts, the recent calls, and a call with
# kxcall sending its test pattern as video and as content, in each layout.
#
#   scripts/screenshots.sh [en|vn] [OUT_FOLDER]     (default: en, build/screenshots)
#
# Needs a built tree (scripts/build.sh) and port 1720 free on this machine.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
language="${1:-en}"
out="${2:-$here/build/screenshots}"
kxphone="$here/build/KxPhone/kxphone"
kxcall="$here/build/tools/kxcall/kxcall"
for program in "$kxphone" "$kxcall"; do
  [ -x "$program" ] || { echo "not built: $program (run scripts/build.sh)" >&2; exit 1; }
done
for tool in Xvfb openbox ffmpeg xdotool; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (run scripts/install-deps.sh)" >&2; exit 1; }
done
if ss -ltn 2>/dev/null | grep -q ':1720 '; then
  echo "port 1720 is in use: kxphone listens there" >&2
  exit 1
fi

mkdir -p "$out"
work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

display=:$((150 + RANDOM % 50))
while [ -e "/tmp/.X11-unix/X${display#:}" ]; do display=:$((${display#:} + 1)); done
Xvfb "$display" -screen 0 1600x900x24 -nolisten tcp -noreset >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do xdpyinfo -display "$display" >/dev/null 2>&1 && break; sleep 0.1; done
DISPLAY="$display" openbox >/dev/null 2>&1 &
pids+=($!)
sleep 1

# A user with a few contacts and recent calls.
mkdir -p "$work/config/Kestrovia" "$work/data" "$work/runtime" "$work/tmp"
chmod 700 "$work/runtime"
cat >"$work/config/Kestrovia/Kestrovia.ini" <<EOF
[General]
language=$language
name=Kestrovia
[state]
x=20
y=20
width=1540
height=820
EOF
cat >"$work/data/Kestrovia_Contacts.xml" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<Contacts>
  <Contact name="Meeting room 2" ip="192.0.2.20" org="Hanoi office" address="" protocol="H.323"/>
  <Contact name="Linh Tran" ip="198.51.100.7" org="Support" address="" protocol="H.323"/>
  <Contact name="MCU" ip="203.0.113.5" org="" address="conference" protocol="H.323"/>
</Contacts>
EOF
cat >"$work/data/Kestrovia_Recents.xml" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<Recents>
  <Recent name="Meeting room 2" ip="192.0.2.20" time="07/12/26 09:30" duration="2530" protocol="H.323" flow="outgoing" status="success"/>
  <Recent name="Linh Tran" ip="198.51.100.7" time="06/12/26 16:05" duration="0" protocol="H.323" flow="incoming" status="failure"/>
  <Recent name="" ip="203.0.113.5" time="06/12/26 11:12" duration="95" protocol="H.323" flow="incoming" status="success"/>
</Recents>
EOF

export DISPLAY="$display" QT_QPA_PLATFORM=xcb HOME="$work" XDG_CONFIG_HOME="$work/config" \
  XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/runtime" TMPDIR="$work/tmp"
"$kxphone" >"$work/kxphone.log" 2>&1 &
phone=$!
pids+=($phone)
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

# A call: kxcall sends its pattern as video, and the same as content after 2 s.
"$kxcall" --call 127.0.0.1:1720 --name "Meeting room 2" --video fake --video-size 1280x720 \
  --present --present-delay 2000 --hangup-after 30 >"$work/kxcall.log" 2>&1 &
pids+=($!)
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
