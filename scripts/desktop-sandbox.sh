# Sourced by scripts that run kxphone as a user would, on an X server and window manager
# of their own (Xvfb and openbox) and in a home folder of their own, so that nothing of
# the real user's is read or touched.  After `sandbox_start [language] [settings]` (more
# lines for the settings file, e.g. "[video]\ndevice=Desktop"):
#   $display        the X display;   $work   the sandbox folder (removed at exit)
#   $phone          kxphone's process id (its output in $work/kxphone.log)
#   $phone_started  when it was started (ns since the epoch)
#   $kxcall         the kxcall program
# Needs a built tree (scripts/build.sh) and port 1720 free on this machine.

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
kxphone="$here/build/KxPhone/kxphone"
kxcall="$here/build/tools/kxcall/kxcall"
sandbox_pids=()

sandbox_cleanup() {
  for pid in "${sandbox_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -n "${work:-}" ] && rm -rf "$work"
}

# Starts another program in the sandbox, stopped with it.
sandbox_spawn() {
  "$@" &
  sandbox_pids+=($!)
}

sandbox_start() {
  local language="${1:-en}"
  local more_settings="${2:-}"
  for program in "$kxphone" "$kxcall"; do
    [ -x "$program" ] || { echo "not built: $program (run scripts/build.sh)" >&2; exit 1; }
  done
  for tool in Xvfb openbox ffmpeg xdotool xdpyinfo; do
    command -v "$tool" >/dev/null || { echo "missing: $tool (run scripts/install-deps.sh)" >&2; exit 1; }
  done
  if ss -ltn 2>/dev/null | grep -q ':1720 '; then
    echo "port 1720 is in use: kxphone listens there" >&2
    exit 1
  fi
  work="$(mktemp -d)"
  trap sandbox_cleanup EXIT

  display=:$((150 + RANDOM % 50))
  while [ -e "/tmp/.X11-unix/X${display#:}" ]; do display=:$((${display#:} + 1)); done
  sandbox_spawn Xvfb "$display" -screen 0 1600x900x24 -nolisten tcp -noreset >/dev/null 2>&1
  for _ in $(seq 50); do xdpyinfo -display "$display" >/dev/null 2>&1 && break; sleep 0.1; done
  DISPLAY="$display" sandbox_spawn openbox >/dev/null 2>&1
  sleep 1

  # A user with a few contacts and recent calls.
  mkdir -p "$work/config/Kestrovia" "$work/data" "$work/runtime" "$work/tmp"
  chmod 700 "$work/runtime"
  cat >"$work/config/Kestrovia/Kestrovia.ini" <<INI
[General]
language=$language
name=Kestrovia
[state]
x=20
y=20
width=1540
height=820
INI
  [ -z "$more_settings" ] || printf '%b\n' "$more_settings" >>"$work/config/Kestrovia/Kestrovia.ini"
  cat >"$work/data/Kestrovia_Contacts.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<Contacts>
  <Contact name="Meeting room 2" ip="192.0.2.20" org="Hanoi office" address="" protocol="H.323"/>
  <Contact name="Linh Tran" ip="198.51.100.7" org="Support" address="" protocol="H.323"/>
  <Contact name="MCU" ip="203.0.113.5" org="" address="conference" protocol="H.323"/>
</Contacts>
XML
  cat >"$work/data/Kestrovia_Recents.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<Recents>
  <Recent name="Meeting room 2" ip="192.0.2.20" time="07/12/26 09:30" duration="2530" protocol="H.323" flow="outgoing" status="success"/>
  <Recent name="Linh Tran" ip="198.51.100.7" time="06/12/26 16:05" duration="0" protocol="H.323" flow="incoming" status="failure"/>
  <Recent name="" ip="203.0.113.5" time="06/12/26 11:12" duration="95" protocol="H.323" flow="incoming" status="success"/>
</Recents>
XML

  export DISPLAY="$display" QT_QPA_PLATFORM=xcb HOME="$work" XDG_CONFIG_HOME="$work/config" \
    XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/runtime" TMPDIR="$work/tmp"
  phone_started=$(date +%s%N)
  sandbox_spawn "$kxphone" >"$work/kxphone.log" 2>&1
  phone=$!
}
