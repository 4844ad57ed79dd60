#!/usr/bin/env bash
# zelship's benchmark (figures kept by hand in bench/ship/findings.md): a
# one-hour 1080p recording of terminal-like block updates (about 92 MB) written
# again through libzel's writer, sealed as the recorder seals (421 seals),
# while zelship ships it into a Ceph gateway on loopback; once at 60 times its
# pace (the whole hour in a minute: requests, CPU and memory per hour,
# verification from the store) and once for two minutes at its own pace (the
# lag a recorder sees).
#   bench/ship/run.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
# zelship as released; the driver links the test harness, which builds in the dev preset
cmake --preset release >/dev/null && cmake --preset dev >/dev/null
cmake --build --preset release -j2 --target zelship zel_make_recording >/dev/null
cmake --build --preset dev -j2 --target ship_bench >/dev/null
out=build/bench-ship
mkdir -p "$out"
[[ -s $out/hour.zel ]] || build/release/bench/zel/zel_make_recording "$out/hour.zel" 3600
ls -l "$out/hour.zel"
zelship=build/release/tools/zelship/zelship
build/dev/bench/ship/ship_bench "$out/hour.zel" 3600 60 "$zelship"
build/dev/bench/ship/ship_bench "$out/hour.zel" 120 1 "$zelship"
