#!/usr/bin/env bash
# The recorder next to ffmpeg x11grab on the same workloads: builds a Release
# tree (BUILD_DIR, default build/perf), runs bench/perf/perf.py and writes
# docs/performance.md (or OUTPUT).  Needs root only for nothing; needs Xvfb,
# xterm, xdotool, xprop, ffmpeg and, for the profile, perf (linux-perf).
# Extra arguments go to perf.py, e.g. --seconds 10 --skip capacity,profile.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${BUILD_DIR:-build/perf}
output=${OUTPUT:-docs/performance.md}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELK_WERROR=ON ${PERF_CMAKE_ARGS:-} >/dev/null
ninja -C "$build" -j2 pelkrecorder-xpra-seamless zeldump seamless-helper perf-analyze
# The workload client lives with the fault tests; built from its source if
# that folder is not part of the tree.
if ninja -C "$build" -j2 x-workload >/dev/null 2>&1; then
  workload=$build/tests/fault/x-workload
else
  workload=$build/x-workload
  c++ -std=c++20 -O2 tests/fault/x-workload.cpp -o "$workload" $(pkg-config --libs xcb)
fi
exec python3 bench/perf/perf.py \
  --recorder "$build/src/pelkrecorder-xpra-seamless" \
  --zeldump "$build/tools/zeldump" \
  --helper "$build/tests/support/seamless-helper" \
  --workload "$workload" \
  --analyze "$build/bench/perf/perf-analyze" \
  --output "$output" "$@"
