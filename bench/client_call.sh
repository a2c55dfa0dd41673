#!/bin/bash
# What kxphone costs the machine, as a user runs it: the time to its window, its memory
# idle, and its processor time and memory in a call with 720p video both ways (kxcall
# sends its pattern at 1280x720, 25 pictures a second; kxphone sends the desktop, where
# its own window shows the call).  Prints medians over one-second samples, kxphone's
# threads idle and in the call, and the GUI thread's longest stall in the call.
#
#   bench/client_call.sh [SECONDS] [DEVICE] [audio]
#       (default 30 seconds of call, DEVICE Desktop; no-device sends the idle picture;
#       audio: the far end offers no video, an audio call)
set -euo pipefail

seconds="${1:-30}"
device="${2:-Desktop}"
kind="${3:-video}"
source "$(dirname "$0")/../scripts/desktop-sandbox.sh"
# The GUI thread's stalls count in the call only (from 15 s after the start, till it ends).
export KX_REPORT_GUI_STALLS=15000-$((15000 + seconds * 1000))
sandbox_start en "[video]\ndevice=$device"
until xdotool search --onlyvisible --name '^Kestrovia$' >/dev/null 2>&1; do sleep 0.01; done
shown=$(( ($(date +%s%N) - phone_started) / 1000000 ))

rss_mb() { awk '/VmRSS/ { printf "%.1f\n", $2 / 1024 }' "/proc/$phone/status"; }
hwm_mb() { awk '/VmHWM/ { printf "%.1f\n", $2 / 1024 }' "/proc/$phone/status"; }
threads() { ls "/proc/$phone/task" | wc -l; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$phone/stat"; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Per-second processor use (% of one core) and memory, for `count` seconds.
sample() {
  local count=$1 ticks=$(getconf CLK_TCK) before after
  : >"$work/cpu" ; : >"$work/rss"
  before=$(cpu_ticks)
  for _ in $(seq "$count"); do
    sleep 1
    after=$(cpu_ticks)
    echo $(( (after - before) * 100 / ticks )) >>"$work/cpu"
    rss_mb >>"$work/rss"
    before=$after
  done
}

sleep 5
sample 10
echo "window shown after:        ${shown} ms"
echo "idle:                      $(median <"$work/cpu") % of a core, $(median <"$work/rss") MB resident, $(threads) threads"

if [ "$kind" = audio ]; then
  far=(--mask 'H.264*')
else
  far=(--video fake --video-size 1280x720 --video-rate 25)
fi
sandbox_spawn "$kxcall" --call 127.0.0.1:1720 --name bench "${far[@]}" \
  --hangup-after $((seconds + 10)) >"$work/kxcall.log" 2>&1
sleep 5
[ "$device" != Desktop ] || grep -q "Desktop capture" "$work/kxphone.log" ||
  echo "(kxphone did not capture the desktop)"
sample "$seconds"
label="in a 720p call:      "
[ "$kind" = audio ] && label="in an audio call:     "
echo "$label      $(median <"$work/cpu") % of a core (median of ${seconds} s)," \
     "$(median <"$work/rss") MB resident, peak $(hwm_mb) MB, $(threads) threads"
kill -TERM "$phone"
for _ in $(seq 100); do kill -0 "$phone" 2>/dev/null || break; sleep 0.1; done
grep "GUI thread stalls" "$work/kxphone.log" || echo "(no stall figure: kxphone did not end in order)"
