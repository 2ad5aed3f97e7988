#!/bin/bash
# How soon the space comes back when Windows or another program gets in the
# way, with 1 GiB and 8 GiB of work files on a tmpfs volume as a Wine drive:
#   - the session ends (wineboot --end-session) while vanta.exe runs method 2
#     with the volume at most 1% free: time until the process has ended, by
#     when Wine's WM_ENDSESSION has been answered and the work files are gone;
#   - the deletion itself with file 1 held open by another program, for a
#     moment (1 s) and past the retries.
#
#   bench/space_back_bench.sh BUILD_DIR [ROUNDS]     (as root; make bench runs it)
set -euo pipefail
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: space_back_bench.sh BUILD_DIR [ROUNDS]" >&2; exit 2; }
rounds="${2:-3}"
bench=space_back_bench name=bench_space_back letter=s
. "$(dirname "${BASH_SOURCE[0]}")/bench-volume.sh"
vanta="$build/ui/vanta.exe" hold="$build/tests/hold_file.exe"
for f in "$vanta" "$hold" "$build/bench/endings_bench.exe" "$build/bench/deletion_bench.exe"; do
    [ -f "$f" ] || die "build first (make build BUILD=...): no $f"
done
windows() { echo "Z:${1//\//\\}"; }

for gib in 1 8; do
    "$harness/volume.sh" mount "$name" tmpfs "$((gib * 1024 + 64))m" "$letter" nr_inodes=4000 >/dev/null
    wineserver -k 2>/dev/null || true     # Wine maps drive letters when it starts
    echo "== the session ends with about $gib GiB of work files, $rounds rounds"
    "$build/wine-run.sh" "$build/bench/endings_bench.exe" "$(windows "$vanta")" 'S:\' session "$rounds" 1 >"$out" 2>&1 ||
        { sed 's/\r$//' "$out" >&2; die "the session rounds failed"; }
    sed 's/\r$//; s/^/   /' "$out"
    echo "== the deletion of $gib GiB of work files with one held open"
    "$build/wine-run.sh" "$build/bench/deletion_bench.exe" 'S:\$VANTA$$' "$gib" "$(windows "$hold")" 1000 >"$out" 2>&1 ||
        { sed 's/\r$//' "$out" >&2; die "the deletion rounds failed"; }
    # the box of the file left, in code page 932
    iconv -c -f CP932 -t UTF-8 "$out" | sed 's/\r$//; /^$/d; s/^/   /'
    wineserver -k 2>/dev/null || true
    "$harness/volume.sh" unmount "$name" "$letter" >/dev/null
done
