#!/bin/bash
# The verify over 1 and 100 damaged sectors of a 64 MiB work file on a tmpfs
# volume as a Wine drive: questions, reads and time (damaged_bench.cpp).
#
#   bench/damaged_bench.sh BUILD_DIR     (as root; make bench runs it)
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: damaged_bench.sh BUILD_DIR" >&2; exit 2; }
bench=damaged_bench name=bench_damaged letter=s
. "$(dirname "${BASH_SOURCE[0]}")/bench-volume.sh"
exe="$build/bench/damaged_bench.exe"
[ -f "$exe" ] || die "build first (make build BUILD=...): no $exe"
"$harness/volume.sh" mount "$name" tmpfs 96m "$letter" >/dev/null
wineserver -k 2>/dev/null || true     # Wine maps drive letters when it starts
echo "== the verify over damaged sectors"
"$build/wine-run.sh" "$exe" 'S:\$VANTA$$' >"$out" 2>&1 || { sed 's/\r$//' "$out" >&2; die "the bench failed"; }
sed 's/\r$//; s/^/   /' "$out"
