#!/usr/bin/env bash
# What a capture adds to the X server while an xterm scrolls as fast as it
# can.  Both the X server and the xterm then run flat out, so the X server's
# CPU with a capture minus its CPU without one (perf.py's "+X") mostly
# measures how much the capture slowed the xterm down; X server CPU per xterm
# CPU tells the server's added work apart from that.
#   bench/perf/x-share.sh [BUILD_DIR] [RUNS]     (after bench/perf/run.sh built BUILD_DIR)
# Prints, per capture (none, recorder, ffmpeg) and run, the CPU clock ticks of
# the X server and the xterm over 8 s and their ratio.
set -euo pipefail
build=${1:-build/perf}
runs=${2:-2}
recorder=$build/src/pelkrecorder-xpra-seamless
helper=$(find "$build" -name seamless-helper -type f -perm -u+x | head -1)
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

measure() {
  local capture=$1 dir pids=()
  dir=$(mktemp -d)
  exec 5>"$dir/display"
  Xvfb -displayfd 5 -screen 0 1920x1080x24 -nolisten tcp -noreset 2>/dev/null &
  local x=$!
  pids+=("$x")
  until [[ -s $dir/display ]]; do sleep 0.1; done
  export DISPLAY=:$(cat "$dir/display")
  "$helper" "$DISPLAY" >/dev/null & pids+=($!)
  xterm -geometry 160x50+0+0 -e sh -c 'while :; do seq 1 100000; done' &
  local term=$!
  pids+=("$term")
  sleep 2
  case $capture in
    recorder) "$recorder" -sid bench "$DISPLAY" "$dir/r.zel" & pids+=($!) ;;
    ffmpeg) ffmpeg -loglevel quiet -f x11grab -framerate 10 -video_size 1920x1080 -i "$DISPLAY" \
              -c:v libx264rgb -preset ultrafast -qp 0 -y "$dir/f.mkv" </dev/null & pids+=($!) ;;
  esac
  sleep 2
  local x0 t0 x1 t1
  x0=$(ticks "$x") t0=$(ticks "$term")
  sleep 8
  x1=$(ticks "$x") t1=$(ticks "$term")
  echo "$capture: X server $((x1 - x0)), xterm $((t1 - t0)) ticks in 8 s; X per xterm $(awk "BEGIN{printf \"%.3f\", ($x1 - $x0) / ($t1 - $t0)}")"
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill -INT "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$dir"
}

for ((run = 0; run < runs; run++)); do
  for capture in none recorder ffmpeg; do measure "$capture"; done
done
