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

if [ -z "${DISPLAY:-}" ] && command -v Xvfb >/dev/null; then
  export DISPLAY=:97
  if ! [ -e /tmp/.X11-unix/X97 ]; then
    # -noreset: without it the server resets whenever its last client leaves, and a
    # client connecting at that moment is refused.
    Xvfb :97 -screen 0 1920x1080x24 -nolisten tcp -noreset >/dev/null 2>&1 &
    for _ in $(seq 50); do [ -e /tmp/.X11-unix/X97 ] && break; sleep 0.1; done
  fi
fi
