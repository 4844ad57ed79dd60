#!/usr/bin/env bash
# The recorder next to ffmpeg x11grab on the same workloads: builds a Release
# tree (BUILD_DIR, default build/perf), runs bench/perf/perf.py and writes
# docs/performance.md (or OUTPUT).  Needs Xvfb, xterm, xdotool, xprop, less,
# ffmpeg and, for the profiles, perf (linux-perf).
#
# Before/after: TREE_B=/path/to/other/checkout also builds that tree's
# recorder (into BUILD_DIR_B, default build/perf-b) and measures it in the
# same run as `recorder-b`, beside this tree's `recorder` and ffmpeg.  Run the
# bench from the tree whose libzel reads both recorders' files (the newer).
# A ready binary can be given instead: --recorder-b PATH [--label-b TEXT].
#
# Extra arguments go to perf.py, e.g. --seconds 5 --only idle,less --skip
# latency,replay,profile; `perf.py --help` lists them all.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${BUILD_DIR:-build/perf}
output=${OUTPUT:-docs/performance.md}
# Branch and commit of a tree, and the last commit that changed the recorder or libzel there.
describe() {
  echo "$(git -C "$1" rev-parse --abbrev-ref HEAD) $(git -C "$1" describe --always --dirty)" \
    "(src/ and libzel/ as of $(git -C "$1" log -1 --format=%h -- src libzel)$(git -C "$1" diff --quiet HEAD -- src libzel || echo ', with uncommitted changes')), $2"
}
configure() { cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELK_WERROR=ON ${PERF_CMAKE_ARGS:-} >/dev/null; }
configure . "$build"
ninja -C "$build" -j2 pelkrecorder-xpra-seamless zeldump seamless-helper perf-analyze perf-x-workload
# The seamless-session helper is a test program; found wherever the tree builds it.
helper=$(find "$build" -name seamless-helper -type f -perm -u+x | head -1)
extra=()
if [[ -n "${TREE_B:-}" ]]; then
  build_b=${BUILD_DIR_B:-build/perf-b}
  configure "$TREE_B" "$build_b"
  ninja -C "$build_b" -j2 pelkrecorder-xpra-seamless
  extra=(--recorder-b "$build_b/src/pelkrecorder-xpra-seamless" --label-b "$(describe "$TREE_B" "Release build in $build_b")")
fi
exec python3 bench/perf/perf.py \
  --recorder "$build/src/pelkrecorder-xpra-seamless" \
  --label-a "$(describe . "Release build in $build")" \
  --zeldump "$build/tools/zeldump" \
  --helper "$helper" \
  --workload "$build/bench/perf/x-workload" \
  --analyze "$build/bench/perf/perf-analyze" \
  --output "$output" "${extra[@]}" "$@"
