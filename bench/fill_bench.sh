#!/bin/bash
# Fill throughput: mounts a 1 GiB tmpfs as a Wine drive, then
#   1. the generator's rate on each of its paths beside a textbook MT19937;
#   2. the fill pass writing the volume full with zeros and with "random" in
#      alternating rounds, their median rates and the ratio random / zero;
#   3. dd writing the same volume full, beside the zero fill.
# The volume is released however the bench ends.
#
#   bench/fill_bench.sh BUILD_DIR [ROUNDS]     (as root; make bench runs it)
#
# The bench needs the build tree's Wine prefix to itself: it restarts Wine so
# that the new drive letter is seen.
set -euo pipefail
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: fill_bench.sh BUILD_DIR [ROUNDS]" >&2; exit 2; }
build="$(cd "$1" && pwd)"
rounds="${2:-7}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
harness="$here/../tests/harness"
export VANTA_BUILD_DIR="$build"
. "$harness/wine-env.sh"

die() { echo "fill_bench: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || die "mounting the bench volume needs root"
for exe in fill_bench generator_bench; do
    [ -f "$build/bench/$exe.exe" ] || die "$build/bench/$exe.exe is not built (make build BUILD=...)"
done

name=bench_tmpfs size=1g letter=b
mnt="$build/volumes/$name"
out="$build/volumes/fill_bench.out"

release() {
    wineserver -k 2>/dev/null || true
    "$harness/volume.sh" unmount "$name" "$letter" >/dev/null 2>&1 || true
    rm -f "$out"
}
trap release EXIT

"$harness/wine-prefix.sh"
"$harness/volume.sh" mount "$name" tmpfs "$size" "$letter" >/dev/null
wineserver -k 2>/dev/null || true     # Wine maps drive letters when it starts

field() { awk -v key="$1" '$1 == key { print $2 }' "$out"; }

# Into a file, not a pipe: Wine's background services inherit the output
# and would keep a pipe open long after the program has ended.
echo "== generator (no volume)"
"$build/wine-run.sh" "$build/bench/generator_bench.exe" >"$out" 2>&1 ||
    { sed 's/\r$//' "$out" >&2; die "the generator bench failed"; }
sed -i 's/\r$//' "$out"
grep -v '^generator ' "$out"
generator="$(field generator)"

echo "== fill pass, tmpfs $size under Wine, $rounds rounds of each pattern"
"$build/wine-run.sh" "$build/bench/fill_bench.exe" 'B:\$VANTA$$' "$rounds" >"$out" 2>&1 || true
sed -i 's/\r$//' "$out"
[ "$(field result)" = 0 ] || { cat "$out" >&2; die "the fill pass did not finish"; }
grep '^round' "$out"
zero_bytes="$(field zero_bytes)"
zero_rate="$(field zero_median)"
random_rate="$(field random_median)"
awk -v z="$zero_rate" -v r="$random_rate" -v g="$generator" -v ratio="$(field ratio)" 'BEGIN {
    printf "zero fill:    median %.1f MB/s\n", z / 1e6
    printf "random fill:  median %.1f MB/s\n", r / 1e6
    printf "ratio:        random / zero = %.3f (goal 0.90)\n", ratio
    printf "in series:    a write, then its words at %.2f GB/s, would give %.3f\n", g / 1e9, 1 / (1 + z / g)
}'

rm -rf "${mnt:?}"/*

# dd bypasses the page cache where the file system allows it
direct=""
if dd if=/dev/zero of="$mnt/probe" bs=4096 count=1 oflag=direct status=none 2>/dev/null; then
    direct="oflag=direct"
    dd_note="dd with oflag=direct"
else
    dd_note="dd without oflag=direct (this file system refuses O_DIRECT)"
fi
rm -f "$mnt/probe"
dd_line="$(LC_ALL=C dd if=/dev/zero of="$mnt/dd.fill" bs=4M $direct 2>&1 | tail -1 || true)"
dd_bytes="$(echo "$dd_line" | awk '{ print $1 }')"
dd_seconds="$(echo "$dd_line" | sed -n 's/.*copied, \([0-9.e-]*\) s,.*/\1/p')"
[ -n "$dd_bytes" ] && [ -n "$dd_seconds" ] || die "dd did not report: $dd_line"

echo "== dd beside the zero fill"
awk -v vb="$zero_bytes" -v vr="$zero_rate" -v db="$dd_bytes" -v ds="$dd_seconds" \
    -v note="$dd_note" 'BEGIN {
    dr = db / ds
    printf "vanta:        %d bytes at %.1f MB/s (median; 4 MiB writes, free space probed before each)\n", vb, vr / 1e6
    printf "dd:           %d bytes at %.1f MB/s (bs=4M; %s)\n", db, dr / 1e6, note
    printf "ratio:        vanta / dd = %.2f\n", vr / dr
}'
