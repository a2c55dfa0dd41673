#!/usr/bin/env bash
# Sourced by test.sh: starts the services the tests use, unless they already run.
#  - PulseAudio with null sinks: ci_speaker (default sink) and ci_mic (default source,
#    a real source fed by whatever is played into ci_mic_feed);
#  - an X server (Xvfb) on $DISPLAY for tests that need a real one.
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-/tmp/kx-runtime-$(id -u)}
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

if command -v pulseaudio >/dev/null; then
  if ! pactl info >/dev/null 2>&1; then
    pulseaudio -D --exit-idle-time=-1 --disallow-exit --log-target=syslog >/dev/null 2>&1 || true
    for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  fi
  if pactl info >/dev/null 2>&1 && ! pactl list short sinks | grep -q ci_speaker; then
    pactl load-module module-null-sink sink_name=ci_speaker sink_properties=device.description=CI_Speaker rate=16000 channels=1 >/dev/null
    pactl load-module module-null-sink sink_name=ci_mic_feed sink_properties=device.description=CI_Mic_Feed rate=16000 channels=1 >/dev/null
    pactl load-module module-remap-source source_name=ci_mic master=ci_mic_feed.monitor source_properties=device.description=CI_Microphone >/dev/null
    pactl set-default-sink ci_speaker
    pactl set-default-source ci_mic
  fi
fi

# A display is only trusted when a server answers on it: a socket left behind by a server
# that died (a machine restart, a killed session) must not send the tests to nothing.
kx_display_answers() {
  [ -n "${1:-}" ] || return 1
  python3 - "$1" <<'PY' 2>/dev/null
import socket, sys
number = sys.argv[1].lstrip(':').split('.')[0]
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.settimeout(2)
s.connect('/tmp/.X11-unix/X' + number)
# X11 connection setup, little endian, protocol 11.0, no authorisation.
s.sendall(b'l\0\x0b\0\0\0\0\0\0\0\0\0')
sys.exit(0 if s.recv(1) == b'\x01' else 1)
PY
}

if command -v Xvfb >/dev/null && ! kx_display_answers "${DISPLAY:-}"; then
  # Xvfb picks a free display itself and writes its number once it accepts clients.
  kx_fd_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset 3>"$kx_fd_file" >/dev/null 2>&1 &
  KX_XVFB_PID=$!
  for _ in $(seq 100); do [ -s "$kx_fd_file" ] && break; sleep 0.1; done
  export DISPLAY=":$(tr -dc 0-9 <"$kx_fd_file")"
  rm -f "$kx_fd_file"
  kx_display_answers "$DISPLAY" || echo "test-services: Xvfb did not start on $DISPLAY" >&2
fi
