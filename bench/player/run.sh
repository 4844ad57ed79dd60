#!/usr/bin/env bash
# The browser player's benchmark (figures kept by hand in bench/player/findings.md,
# which bench/perf/run.sh copies into docs/performance.md, "Browser
# player"): a one-hour 1080p recording of terminal-like block updates at 10
# frames a second with a full screen every 5 minutes (about 250 MB, format
# version 3: keyframes every 30 s), served by zeldump --serve to headless
# Chromium (driven over its DevTools pipe: node and chromium, no packages).
#   bench/player/run.sh [SEEKS_AFTER_INDEXING [SEEKS_WHILE_INDEXING]]
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake --preset dev >/dev/null
cmake --build --preset dev -j2 --target zeldump zel_make_recording >/dev/null
out=build/bench-player
mkdir -p "$out"
[[ -s $out/hour.zel ]] || build/dev/bench/zel/zel_make_recording "$out/hour.zel" 3600 25 300 1920x1080
ls -l "$out/hour.zel"
node bench/player/bench.mjs build/dev/tools/zeldump "$out/hour.zel" "${1:-20}" "${2:-20}"
node bench/player/server.mjs build/dev/tools/zeldump "$out/hour.zel"
