#!/usr/bin/env bash
# Captures real screens for the compression benchmark:
#   bench/zel/capture-screens.sh OUTDIR [ZEL_CAPTURE]
# Starts a private Xvfb (1920x1080x24, black root like the recorder's frame),
# shows real X programs and saves the root as the recorder receives it:
#   terminal.zcap  an xterm full of directory listings and source text
#   desktop.zcap   Athena desktop programs (xfontsel, xmessage) with text and widgets
#   photo.zcap     a photo-like plasma image shown by ImageMagick's display
#   mixed.zcap     terminal, desktop programs and a photo side by side
set -euo pipefail
out=${1:?usage: capture-screens.sh OUTDIR [ZEL_CAPTURE]}
capture=${2:-$(dirname "$0")/../../build/dev/bench/zel/zel_capture}
mkdir -p "$out"
tmp=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1920x1080x24 -br -nolisten tcp 3>"$tmp/display" &
pids+=($!)
for _ in $(seq 100); do [[ -s $tmp/display ]] && break; sleep 0.1; done
export DISPLAY=:$(cat "$tmp/display")

/usr/bin/convert -size 900x700 plasma:fuchsia-blue -blur 0x1 "$tmp/photo.png"
/usr/bin/convert -size 1920x1080 plasma: "$tmp/photo-full.png"

start() { "$@" & pids+=($!); }
wait_for() { xdotool search --sync --onlyvisible --class "$1" >/dev/null; sleep 1.5; }
stop_all_clients() {
  for p in "${pids[@]:1}"; do kill "$p" 2>/dev/null || true; done
  pids=("${pids[0]}")
  sleep 0.5
}

text_cmd='ls -l /usr/bin | head -40; sed -n 1,200p /usr/include/stdio.h; exec sleep 600'
start xterm -geometry 236x76+0+0 -e bash -c "$text_cmd"
wait_for xterm
"$capture" "$out/terminal.zcap"
stop_all_clients

start xfontsel -geometry 1000x500+0+0
start xmessage -geometry +1000+0 "$(sed -n 1,40p /usr/include/stdlib.h)"
start xfontsel -geometry 900x400+100+600 -pattern '-*-helvetica-*'
wait_for xfontsel
wait_for xmessage
"$capture" "$out/desktop.zcap"
stop_all_clients

start display -geometry +0+0 "$tmp/photo-full.png"
wait_for display
"$capture" "$out/photo.zcap"
stop_all_clients

start xterm -geometry 120x60+0+0 -e bash -c "$text_cmd"
start xfontsel -geometry 700x400+1000+650
start display -geometry +1000+0 "$tmp/photo.png"
wait_for xterm
wait_for display
"$capture" "$out/mixed.zcap"
ls -l "$out"
