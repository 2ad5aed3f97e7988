#!/bin/bash
# The fill pass on volumes that don't behave like an empty NTFS disk:
#   1. zeros on a 512 MiB ext4 volume with a 5% root reserve (which Wine,
#      running as root, may fill although the free-space probe says nothing is
#      left) beside the same volume without one: median time of 5 rounds each
#      (each on a fresh volume after one pass not timed, the page cache
#      dropped) and their ratio;
#   2. zeros on a 512 MiB btrfs volume that compresses everything with zstd:
#      what the pass wrote until its guard stopped it, and how long it took;
#   3. the NTFS file-record table ($MFT's data) of fresh 64 MiB images after
#      vanta.exe ran a one-pass method (1, random) and the 35-pass method (4).
#
#   bench/volume_kinds_bench.sh BUILD_DIR     (as root; make bench runs it)
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: volume_kinds_bench.sh BUILD_DIR" >&2; exit 2; }
bench=volume_kinds_bench name=bench_kinds letter=e
. "$(dirname "${BASH_SOURCE[0]}")/bench-volume.sh"
exe="$build/bench/pass_bench.exe" program_test="$build/tests/ui/ui_program_tests.exe"
[ -f "$exe" ] && [ -f "$program_test" ] || die "build first (make build BUILD=...)"

mount_kind() {
    local kind="$1" size="$2" option="${3:-}"
    "$harness/volume.sh" unmount "$name" "$letter" >/dev/null 2>&1 || true
    "$harness/volume.sh" mount "$name" "$kind" "$size" "$letter" $option >/dev/null
    wineserver -k 2>/dev/null || true     # Wine maps drive letters when it starts
}
pass() {  # WORD: one pass, its "result seconds written" line
    # into a file, not a pipe: Wine's services would hold a pipe open
    "$build/wine-run.sh" "$exe" 'E:\$VANTA$$' "$1" >"$out" 2>&1 || { sed 's/\r$//' "$out" >&2; die "pass_bench failed"; }
    sed 's/\r$//' "$out" | awk '$1 == "result" { r = $2 } $1 == "seconds" { s = $2 } $1 == "written" { w = $2 }
                                END { print r, s, w }'
}
median5() { sort -g | sed -n 3p; }

echo "== zeros on ext4 512 MiB, with and without a 5% root reserve, 5 rounds each"
# each round on a fresh volume, the two kinds in turn, the page cache dropped
declare -A times
for round in 1 2 3 4 5; do
    for reserve in 0 5; do
        mount_kind ext4 512m "$reserve"
        # a fresh ext4 initialises its inode tables in the background at first:
        # one pass, not timed, lets that finish
        pass - >/dev/null
        sync && echo 3 >/proc/sys/vm/drop_caches
        read -r result seconds written < <(pass -)
        echo "   round $round, reserve ${reserve}%: result $result, $written bytes in $seconds s"
        times[$reserve]="${times[$reserve]:-}$seconds"$'\n'
    done
done
with="$(printf '%s' "${times[5]}" | median5)" without="$(printf '%s' "${times[0]}" | median5)"
awk -v with="$with" -v without="$without" 'BEGIN {
    printf "   median %.3f s with the reserve, %.3f s without: ratio %.2f (goal 1.2 or less)\n", with, without, with / without }'

echo "== zeros on btrfs 512 MiB compressing with zstd (compress-force)"
mount_kind btrfs 512m compress-force=zstd
available="$(df -B1 --output=avail "$build/volumes/$name" | tail -1 | tr -d ' ')"
read -r result seconds written < <(pass -)
awk -v a="$available" -v s="$seconds" -v w="$written" -v r="$result" 'BEGIN {
    printf "   %d bytes available; the pass wrote %d bytes (%.1f times that) in %.1f s and stopped with result %d\n", a, w, w / a, s, r }'
read -r result seconds written < <(pass random)
echo "   random: result $result, $written bytes in $seconds s"

echo "== the NTFS file-record table of a fresh 64 MiB image, through vanta.exe"
export VANTA_EXE="$build/ui/vanta.exe"
record_table() {  # the size of $MFT's data in the unmounted image
    local image
    image="$("$harness/volume.sh" detach "$name")"
    ntfsinfo -i 0 "$image" | awk '/Dumping attribute \$DATA/ { d = 1 } d && /Data size:/ { print $3; exit }'
    "$harness/volume.sh" attach "$name" >/dev/null
}
for method in 1 4; do
    mount_kind ntfs 64m
    before="$(record_table)"
    VANTA_PROOF_FOLDER='E:\' VANTA_PROOF_METHOD="$method" \
        "$build/wine-run.sh" "$program_test" --child erase >"$out" 2>&1 || { sed 's/\r$//' "$out" >&2; die "the erase failed"; }
    passes="$(LC_ALL=C sed 's/\r$//' "$out" | LC_ALL=C sed -n 's/^step [0-9]* of \([0-9]*\):.*/\1/p' | head -1)"
    wineserver -k 2>/dev/null || true
    after="$(record_table)"
    echo "   method $method, $passes pass(es): \$MFT grew from $before to $after bytes ($(( (after - before) / 1024 )) KiB)"
done
