#!/bin/bash
# The session's end during a fill on a disk of steady speed: an ext4 image
# mounted sync (write-through, as Windows writes the work files) whose writes
# are throttled (cgroup v1 blkio) to MB_PER_S, vanta.exe started as a
# scheduled task starts it (method 2, /start /exit). Half way through the
# fill the session's end is sent as Windows sends it; the figure is the time
# from WM_ENDSESSION to its answer, by when the work files must be gone and
# the run recorded (Windows allows about 5 s), with the work files left and
# the exit code.
#
#   bench/session_end_bench.sh BUILD_DIR [ROUNDS] [MB_PER_S]   (as root; make bench runs it)
set -euo pipefail
[ $# -ge 1 ] && [ $# -le 3 ] || { echo "usage: session_end_bench.sh BUILD_DIR [ROUNDS] [MB_PER_S]" >&2; exit 2; }
rounds="${2:-3}" rate="${3:-20}"
bench=session_end_bench name=bench_session_end letter=s
. "$(dirname "${BASH_SOURCE[0]}")/bench-volume.sh"
vanta="$build/ui/vanta.exe"
for f in "$vanta" "$build/bench/endings_bench.exe"; do
    [ -f "$f" ] || die "build first (make build BUILD=...): no $f"
done
"$harness/volume.sh" mount "$name" ext4 256m "$letter" 0,sync >/dev/null
throttle_disk "$rate"
wineserver -k 2>/dev/null || true     # Wine maps drive letters when it starts
echo "== the session ends half way through a fill at $rate MB/s (ext4, write-through), $rounds rounds"
in_throttle "$build/wine-run.sh" "$build/bench/endings_bench.exe" "Z:${vanta//\//\\}" 'S:\' endsession "$rounds" 50 >"$out" 2>&1 ||
    { sed 's/\r$//' "$out" >&2; die "the rounds failed"; }
sed 's/\r$//; s/^/   /' "$out"
