#!/bin/bash
# The NTFS record-slack pass on full NTFS volumes of 64 MiB and 1 GiB
# (mkntfs images mounted with ntfs-3g as a Wine drive): for each size a fresh
# volume per case, filled by the bench, then the pass timed. Prints the
# bench program's figures, the pass's flushes among them (how many, the time
# spent in them, a small file's share). The 64 MiB volume with deleted small
# files runs a second time with the flushes left out, to show what they cost.
#
#   bench/record_slack_bench.sh BUILD_DIR       (as root)
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: record_slack_bench.sh BUILD_DIR" >&2; exit 2; }
bench=record_slack_bench name=bench_slack_ntfs letter=q
. "$(dirname "${BASH_SOURCE[0]}")/bench-volume.sh"
exe="$build/bench/record_slack_bench.exe"
[ -f "$exe" ] || die "$exe is not built (make build BUILD=...)"

# run SIZE MODE DELETED [noflush]
run() {
    "$harness/volume.sh" mount "$name" ntfs "$1" "$letter" >/dev/null
    wineserver -k 2>/dev/null || true     # Wine maps drive letters when it starts
    echo "== NTFS $1, $2, $3 deleted small files${4:+, flushes left out}"
    # into a file, not a pipe: Wine's services would hold a pipe open
    "$build/wine-run.sh" "$exe" 'Q:\$VANTA$$' "$2" "$3" ${4:-} >"$out" 2>&1 ||
        { sed 's/\r$//' "$out" >&2; die "the bench program failed"; }
    sed 's/\r$//; s/^/   /' "$out"
    wineserver -k 2>/dev/null || true
    "$harness/volume.sh" unmount "$name" "$letter" >/dev/null
}

for size in 64m 1g; do
    run "$size" plain 0
    run "$size" nomft 0
done
run 64m plain 2000
run 64m plain 2000 noflush
run 1g plain 20000
