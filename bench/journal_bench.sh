#!/bin/bash
# What the run's journal costs a step, on an ext4 image in memory mounted
# sync (write-through, as Windows writes), writes throttled to 200 MB/s
# (cgroup v1 blkio): a disk of steady speed, like the one of
# full_share_bench.sh, whose 4 GiB passes take about 21 s each.
#
#   bench/journal_bench.sh BUILD_DIR [ROUNDS]     (as root; make bench runs it)
set -euo pipefail
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: journal_bench.sh BUILD_DIR [ROUNDS]" >&2; exit 2; }
rounds="${2:-200}"
bench=journal_bench name=bench_journal letter=s
. "$(dirname "${BASH_SOURCE[0]}")/bench-volume.sh"
exe="$build/bench/journal_bench.exe"
[ -f "$exe" ] || die "build first (make build BUILD=...): no $exe"
"$harness/volume.sh" mount "$name" ext4 256m "$letter" 0,sync,ram,4k >/dev/null
throttle_disk 200
wineserver -k 2>/dev/null || true     # Wine maps drive letters when it starts
echo "== the journal, on ext4 written through at 200 MB/s"
in_throttle "$build/wine-run.sh" "$exe" 'S:\$VANTA$$' "$rounds" >"$out" 2>&1 ||
    { sed 's/\r$//' "$out" >&2; die "the bench failed"; }
sed 's/\r$//; s/^/   /' "$out"
