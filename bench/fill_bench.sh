#!/bin/bash
# Fill throughput beside dd's: mounts a 1 GiB tmpfs as a Wine drive, lets the
# fill pass write it full, clears it, lets dd write it full, and prints both
# rates and their ratio. The volume is released however the bench ends.
#
#   bench/fill_bench.sh BUILD_DIR        (as root; make bench runs it)
#
# The bench needs the build tree's Wine prefix to itself: it restarts Wine so
# that the new drive letter is seen.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: fill_bench.sh BUILD_DIR" >&2; exit 2; }
build="$(cd "$1" && pwd)"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
harness="$here/../tests/harness"
export VANTA_BUILD_DIR="$build"
. "$harness/wine-env.sh"

die() { echo "fill_bench: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || die "mounting the bench volume needs root"
exe="$build/bench/fill_bench.exe"
[ -f "$exe" ] || die "$exe is not built (make build BUILD=...)"

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
"$build/wine-run.sh" "$exe" 'B:\$VANTA$$' >"$out" 2>&1 || true
sed -i 's/\r$//' "$out"
vanta_bytes="$(field bytes)"
vanta_seconds="$(field seconds)"
[ -n "$vanta_bytes" ] && [ -n "$vanta_seconds" ] || { cat "$out" >&2; die "the fill did not report"; }
[ "$(field result)" = 0 ] || { cat "$out" >&2; die "the fill pass returned $(field result)"; }

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

awk -v vb="$vanta_bytes" -v vs="$vanta_seconds" -v db="$dd_bytes" -v ds="$dd_seconds" \
    -v note="$dd_note" -v size="$size" 'BEGIN {
    vr = vb / 1e6 / vs; dr = db / 1e6 / ds
    printf "volume:  tmpfs %s under Wine\n", size
    printf "vanta:   %d bytes in %.3f s = %.1f MB/s (4 MiB writes, free space probed before each)\n", vb, vs, vr
    printf "dd:      %d bytes in %.3f s = %.1f MB/s (bs=4M; %s)\n", db, ds, dr, note
    printf "ratio:   vanta / dd = %.2f\n", vr / dr
}'

# Generator throughput beside a plain one-word-at-a-time MT19937 (no volume).
"$build/wine-run.sh" "$build/bench/generator_bench.exe" >"$out" 2>&1 ||
    { sed 's/\r$//' "$out" >&2; die "the generator bench failed"; }
sed 's/\r$//' "$out"
