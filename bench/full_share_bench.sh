#!/bin/bash
# How long each shipped method keeps the volume full: vanta.exe runs methods
# 0 to 4 as a scheduled task would (/start /exit) on an ext4 image of SIZE
# (several 1 GiB work files) kept in memory, mounted sync (write-through, as
# Windows writes the work files), its reads and writes throttled to MB_PER_S
# (cgroup v1 blkio: a disk of steady speed) and the page cache dropped every
# 0.1 s, so that a verify reads from the disk as it does on Windows. The free space is sampled every 0.1 s; the
# figure is the share of the run's samples with under 1% of the volume free,
# the time other programs on it can't save a file, grow the page file or
# install an update.
#
#   bench/full_share_bench.sh BUILD_DIR [SIZE] [MB_PER_S] [METHODS]
#       (as root; make bench runs it with 4g, 200 and "0 1 2 3 4")
set -euo pipefail
[ $# -ge 1 ] && [ $# -le 4 ] || { echo "usage: full_share_bench.sh BUILD_DIR [SIZE] [MB_PER_S] [METHODS]" >&2; exit 2; }
size="${2:-4g}" rate="${3:-200}" methods="${4:-0 1 2 3 4}"
bench=full_share_bench name=bench_full_share letter=s
. "$(dirname "${BASH_SOURCE[0]}")/bench-volume.sh"
vanta="$build/ui/vanta.exe"
[ -f "$vanta" ] || die "build first (make build BUILD=...): no $vanta"
dropper=""
release_all() {
    [ -z "$dropper" ] || kill "$dropper" 2>/dev/null || true
    release
}
trap release_all EXIT

"$harness/volume.sh" mount "$name" ext4 "$size" "$letter" 0,sync,ram,4k >/dev/null
dir="$build/volumes/$name"
throttle_disk "$rate" reads
( while :; do echo 1 > /proc/sys/vm/drop_caches; sleep 0.1; done ) &
dropper=$!
wineserver -k 2>/dev/null || true     # Wine maps drive letters when it starts
total=$(stat -f -c '%b*%S' "$dir" | bc)
echo "== the time each method keeps the $size volume under 1% free, at $rate MB/s, page cache dropped"
for method in $methods; do
    samples="$build/volumes/$bench.samples"
    : > "$samples"
    in_throttle "$build/wine-run.sh" "$vanta" 'S:\' "/method:$method" /start /exit >"$out" 2>&1 &
    run=$!
    start=$(date +%s.%N)
    while kill -0 "$run" 2>/dev/null; do
        stat -f -c '%a*%S' "$dir" | bc >> "$samples"
        sleep 0.1
    done
    wait "$run" && code=0 || code=$?
    took=$(echo "$(date +%s.%N) - $start" | bc)
    awk -v total="$total" -v method="$method" -v took="$took" -v code="$code" '
        { n++; if ($1 < total / 100) full++ }
        END { printf "   method %s: %.0f s, exit code %s; under 1%% free for %.1f s of it: %.1f%% (%d of %d samples)\n",
                     method, took, code, full * took / (n ? n : 1), 100 * full / (n ? n : 1), full, n }' "$samples"
    [ -z "${KEEP_SAMPLES:-}" ] || cp "$samples" "$KEEP_SAMPLES.$method"
    rm -f "$samples"
done
