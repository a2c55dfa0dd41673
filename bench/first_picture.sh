#!/bin/bash
# The time from a call's establishment (Connect) to the first decoded picture of the far
# end's video, in every fastStart and tunnelling mode, both ways: two kxcall processes on
# 127.0.0.1 send FakeVideo to each other; each says when its first picture was shown.
# Prints the median of RUNS calls per mode (default 5), the caller's and the callee's.
#
#   bench/first_picture.sh [RUNS] [KXCALL] [extra callee options...]
#       (KXCALL default build/tools/kxcall/kxcall; extra options shape the callee, e.g.
#       --faststart-numbers own)
set -euo pipefail

runs="${1:-5}"
kxcall="${2:-$(dirname "$0")/../build/tools/kxcall/kxcall}"
shift 2 2>/dev/null || shift $#
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

printf '%-10s %-11s %18s %18s\n' faststart tunnelling "caller median ms" "callee median ms"
for fast in on off; do
  for tunnel in on off; do
    : >"$work/caller" ; : >"$work/callee"
    for _ in $(seq "$runs"); do
      common="--video fake --video-size 640x360 --fast-start $fast --tunnelling $tunnel"
      "$kxcall" --listen 0 --bind 127.0.0.1 $common "$@" >"$work/bob" 2>&1 &
      until grep -q "listening on port" "$work/bob"; do sleep 0.01; done
      port=$(grep -o "listening on port [0-9]*" "$work/bob" | awk '{ print $4 }')
      "$kxcall" --call "127.0.0.1:$port" $common --hangup-after 2 >"$work/alice" 2>&1
      wait
      grep -o "first picture ms=[0-9]*" "$work/alice" | cut -d= -f2 >>"$work/caller" || true
      grep -o "first picture ms=[0-9]*" "$work/bob" | cut -d= -f2 >>"$work/callee" || true
    done
    printf '%-10s %-11s %18s %18s\n' "$fast" "$tunnel" "$(median <"$work/caller")" "$(median <"$work/callee")"
  done
done
