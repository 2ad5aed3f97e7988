#!/bin/bash
# How long vanta.exe takes to give the space back when a run is cut short, on
# a 1 GiB NTFS image (ntfs-3g) as a Wine drive: Abort with the volume nearly
# full (at most 2% free), then Close half way through a fill. Each round
# starts the real program with the shipped methods beside it.
#
#   bench/endings_bench.sh BUILD_DIR [ROUNDS]     (as root; make bench runs it)
set -euo pipefail
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: endings_bench.sh BUILD_DIR [ROUNDS]" >&2; exit 2; }
rounds="${2:-5}"
bench=endings_bench name=bench_endings_ntfs letter=s
. "$(dirname "${BASH_SOURCE[0]}")/bench-volume.sh"
exe="$build/bench/endings_bench.exe" vanta="$build/ui/vanta.exe"
[ -f "$exe" ] && [ -f "$vanta" ] || die "build first (make build BUILD=...)"
"$harness/volume.sh" mount "$name" ntfs 1g "$letter" >/dev/null
wineserver -k 2>/dev/null || true     # Wine maps drive letters when it starts

for what in "abort 2" "close 50"; do
    set -- $what
    echo "== $1 with at most $2% of the 1 GiB NTFS volume free, $rounds rounds"
    # into a file, not a pipe: Wine's services would hold a pipe open
    "$build/wine-run.sh" "$exe" "Z:${vanta//\//\\}" 'S:\' "$1" "$rounds" "$2" >"$out" 2>&1 ||
        { sed 's/\r$//' "$out" >&2; die "the $1 rounds failed"; }
    sed 's/\r$//; s/^/   /' "$out"
done
