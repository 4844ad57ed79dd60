#!/usr/bin/env bash
# zeldump --search over a directory of at least 1 GB of version-3 recordings
# (zel_make_recording --windows: typing into a 1920x1080 terminal at 10 frames
# a second, with window, input and footer records spread through it), release
# build.  Cold: the files' pages dropped from the page cache first
# (posix_fadvise DONTNEED; fincore shows what stayed); warm: read once before.
# Beside it: reading every frame (zeldump --events of each file) and the plain
# bytes (cat), to tell the search's own cost from the disk's.
#
#   bench/zel/search-bench.sh [DIR [FILES [SECONDS_EACH]]]
#
# DIR (default /tmp/zel-search-bench) is kept for the next run; remove it after.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
dir=${1:-/tmp/zel-search-bench}
files=${2:-16}
seconds=${3:-2700}
query='root@db7-42: ~'
repeats=3

cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release -j2 --target zeldump zel_make_recording >/dev/null
zeldump=$root/build/release/tools/zeldump
make=$root/build/release/bench/zel/zel_make_recording

mkdir -p "$dir"
for ((i = 1; i <= files; ++i)); do
  f=$(printf '%s/rec-%02d.zel' "$dir" "$i")
  [[ -s $f ]] || echo "$i $f"
done | xargs -r -P 2 -n 2 sh -c 'exec "$0" --windows "$1" "$2" '"$seconds"' 2>/dev/null' "$make"
bytes=$(du -cb "$dir"/*.zel | tail -1 | cut -f1)
echo "directory: $dir, $files files, $bytes bytes ($(awk -v b="$bytes" 'BEGIN { printf "%.2f", b / 2^30 }') GiB)"

evict() { python3 -c 'import os, sys
for p in sys.argv[1:]:
    fd = os.open(p, os.O_RDONLY); os.fdatasync(fd); os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED); os.close(fd)' "$dir"/*.zel; }
resident() { fincore -b -n -o RES "$dir"/*.zel | awk '{ s += $1 } END { printf "%.0f MiB", s / 2^20 }'; }
# Runs the command, prints "wall user sys" in seconds.
timed() { /usr/bin/time -f '%e %U %S' -o /tmp/search-bench.time "$@" >/dev/null; cat /tmp/search-bench.time; }
every_frame() { for f in "$dir"/*.zel; do "$zeldump" --events "$f" >/dev/null; done; }

echo "hits: $("$zeldump" --search "$query" "$dir" | grep -c '"kind":"title"') of '$query'"
printf '%-34s %8s %8s %8s  %s\n' what wall user sys "page cache after"
for ((r = 1; r <= repeats; ++r)); do
  evict
  before=$(resident)
  read -r w u s < <(timed "$zeldump" --search "$query" "$dir")
  printf '%-34s %8s %8s %8s  %s\n' "search, cold (cached: $before)" "$w" "$u" "$s" "$(resident)"
done
cat "$dir"/*.zel >/dev/null
for ((r = 1; r <= repeats; ++r)); do
  read -r w u s < <(timed "$zeldump" --search "$query" "$dir")
  printf '%-34s %8s %8s %8s  %s\n' "search, warm" "$w" "$u" "$s" "$(resident)"
done
read -r w u s < <(timed "$zeldump" --search "no such text" "$dir")
printf '%-34s %8s %8s %8s  %s\n' "search, warm, no hit" "$w" "$u" "$s" "$(resident)"
export -f every_frame
export dir zeldump
read -r w u s < <(timed bash -c every_frame)
printf '%-34s %8s %8s %8s  %s\n' "every frame (--events), warm" "$w" "$u" "$s" "$(resident)"
evict
before=$(resident)
read -r w u s < <(timed cat "$dir"/*.zel)
printf '%-34s %8s %8s %8s  %s\n' "cat, cold (cached: $before)" "$w" "$u" "$s" "$(resident)"
uptime
