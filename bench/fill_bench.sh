#!/bin/bash
# Fill and verify throughput: mounts a 1 GiB tmpfs as a Wine drive, then
#   1. the generator's rate on each of its paths beside a textbook MT19937;
#   2. the fill pass writing the volume full with zeros and with "random" in
#      alternating rounds, their median rates and the ratio random / zero;
#      after each zero fill the verify pass reading the work files back,
#      comparing every byte with 0 and only reading;
#   3. the same again with the run's display (the bar, the title and the
#      time left kept up as a run's step does), side by side with the first,
#      and under the tests' checks of Windows' unbuffered rules at 512- and
#      4096-byte sectors (what the file-call seam costs when it is used; the
#      first run has it unused, Win32's own calls behind it);
#   4. dd writing the same volume full, beside the zero fill, and reading its
#      file back, beside the verify pass, as many rounds (median times);
#   5. the work files' flushes (each is flushed before it is closed): how many
#      a fill makes, their time for each GiB written, and the fill again with
#      them left out, side by side with the first.
# The volume is released however the bench ends.
#
#   bench/fill_bench.sh BUILD_DIR [ROUNDS]     (as root; make bench runs it)
set -euo pipefail
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: fill_bench.sh BUILD_DIR [ROUNDS]" >&2; exit 2; }
rounds="${2:-7}"
bench=fill_bench name=bench_tmpfs size=1g letter=e
. "$(dirname "${BASH_SOURCE[0]}")/bench-volume.sh"
for exe in fill_bench generator_bench; do
    [ -f "$build/bench/$exe.exe" ] || die "$build/bench/$exe.exe is not built (make build BUILD=...)"
done
mnt="$build/volumes/$name"
# a tmpfs that Wine takes for FAT: the NTFS record-slack pass, which follows
# every fill on NTFS, stays out of the figures and the work files stay whole
# for the verify pass
"$harness/volume.sh" mount "$name" fat "$size" "$letter" >/dev/null
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
"$build/wine-run.sh" "$build/bench/fill_bench.exe" 'E:\$VANTA$$' "$rounds" >"$out" 2>&1 || true
sed -i 's/\r$//' "$out"
[ "$(field result)" = 0 ] || { cat "$out" >&2; die "the fill pass did not finish"; }
grep '^round' "$out"
verify_bytes="$(field verify_bytes)"
verify_rate="$(field verify_median)"
read_rate="$(field read_median)"
zero_bytes="$(field zero_bytes)"
zero_rate="$(field zero_median)"
random_rate="$(field random_median)"
awk -v z="$zero_rate" -v r="$random_rate" -v g="$generator" -v ratio="$(field ratio)" 'BEGIN {
    printf "zero fill:    median %.1f MB/s\n", z / 1e6
    printf "random fill:  median %.1f MB/s\n", r / 1e6
    printf "ratio:        random / zero = %.3f (goal 0.90)\n", ratio
    printf "in series:    a write, then its words at %.2f GB/s, would give %.3f\n", g / 1e9, 1 / (1 + z / g)
}'
# the work folder's calls a pass makes: each file's open relative to the held
# folder and one check of its handle (the call the checks add), the folder
# held and let go once
awk -v calls="$(field work_folder_calls)" -v files="$(field work_files)" 'BEGIN {
    printf "work folder:  %d system calls for %d work files in a pass, %.2f a file (the open, and the handle check the safety adds)\n", calls, files, files ? calls / files : 0
}'
flushes="$(field flushes)" zero_flush="$(field zero_flush_ms_per_gib)" random_flush="$(field random_flush_ms_per_gib)"

echo "== the same with the run's display: bar and title posted, time left worked out"
"$build/wine-run.sh" "$build/bench/fill_bench.exe" 'E:\$VANTA$$' "$rounds" display >"$out" 2>&1 || true
sed -i 's/\r$//' "$out"
[ "$(field result)" = 0 ] || { cat "$out" >&2; die "the fill pass with the display did not finish"; }
awk -v z="$zero_rate" -v r="$random_rate" -v v="$verify_rate" -v o="$read_rate" \
    -v zd="$(field zero_median)" -v rd="$(field random_median)" -v vd="$(field verify_median)" -v od="$(field read_median)" 'BEGIN {
    printf "              without      with the display   with / without\n"
    printf "zero fill:    %7.1f MB/s %9.1f MB/s %12.3f\n", z / 1e6, zd / 1e6, zd / z
    printf "random fill:  %7.1f MB/s %9.1f MB/s %12.3f\n", r / 1e6, rd / 1e6, rd / r
    printf "verify 0:     %7.1f MB/s %9.1f MB/s %12.3f\n", v / 1e6, vd / 1e6, vd / v
    printf "read only:    %7.1f MB/s %9.1f MB/s %12.3f\n", o / 1e6, od / 1e6, od / o
}'

echo "== the same under the tests' checks of Windows' unbuffered rules, 512- and 4096-byte sectors"
for sector in 512 4096; do
    "$build/wine-run.sh" "$build/bench/fill_bench.exe" 'E:\$VANTA$$' "$rounds" strict$sector >"$out" 2>&1 || true
    sed -i 's/\r$//' "$out"
    [ "$(field result)" = 0 ] || { cat "$out" >&2; die "the fill pass under the $sector-byte checks did not finish"; }
    awk -v z="$zero_rate" -v r="$random_rate" -v v="$verify_rate" -v o="$read_rate" -v s="$sector" \
        -v zd="$(field zero_median)" -v rd="$(field random_median)" -v vd="$(field verify_median)" -v od="$(field read_median)" 'BEGIN {
        printf "              without      %4d-byte checks   with / without\n", s
        printf "zero fill:    %7.1f MB/s %9.1f MB/s %12.3f\n", z / 1e6, zd / 1e6, zd / z
        printf "random fill:  %7.1f MB/s %9.1f MB/s %12.3f\n", r / 1e6, rd / 1e6, rd / r
        printf "verify 0:     %7.1f MB/s %9.1f MB/s %12.3f\n", v / 1e6, vd / 1e6, vd / v
        printf "read only:    %7.1f MB/s %9.1f MB/s %12.3f\n", o / 1e6, od / 1e6, od / o
    }'
done

echo "== the same with the work files' flushes left out"
"$build/wine-run.sh" "$build/bench/fill_bench.exe" 'E:\$VANTA$$' "$rounds" noflush >"$out" 2>&1 || true
sed -i 's/\r$//' "$out"
[ "$(field result)" = 0 ] || { cat "$out" >&2; die "the fill pass without its flushes did not finish"; }
awk -v z="$zero_rate" -v r="$random_rate" -v zd="$(field zero_median)" -v rd="$(field random_median)" \
    -v n="$flushes" -v zf="$zero_flush" -v rf="$random_flush" 'BEGIN {
    printf "flushes:      %d a fill; median %.3f ms a GiB written (zero fill), %.3f ms (random)\n", n, zf, rf
    printf "              with flushes  without       with / without\n"
    printf "zero fill:    %7.1f MB/s %9.1f MB/s %12.3f\n", z / 1e6, zd / 1e6, z / zd
    printf "random fill:  %7.1f MB/s %9.1f MB/s %12.3f\n", r / 1e6, rd / 1e6, r / rd
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
# dd_seconds LINE: the seconds of dd's last status line
dd_seconds() { echo "$1" | sed -n 's/.*copied, \([0-9.e-]*\) s,.*/\1/p'; }
median() { sort -g | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
write_times="" read_times=""
for _ in $(seq 1 "$rounds"); do
    rm -f "$mnt/dd.fill"
    line="$(LC_ALL=C dd if=/dev/zero of="$mnt/dd.fill" bs=4M $direct 2>&1 | tail -1 || true)"
    dd_bytes="$(echo "$line" | awk '{ print $1 }')"
    seconds="$(dd_seconds "$line")"
    [ -n "$dd_bytes" ] && [ -n "$seconds" ] || die "dd did not report: $line"
    write_times="$write_times$seconds"$'\n'
    line="$(LC_ALL=C dd if="$mnt/dd.fill" of=/dev/null bs=4M ${direct:+iflag=direct} 2>&1 | tail -1 || true)"
    seconds="$(dd_seconds "$line")"
    [ -n "$seconds" ] || die "dd did not report: $line"
    read_times="$read_times$seconds"$'\n'
done
rm -f "$mnt/dd.fill"
dd_seconds="$(printf '%s' "$write_times" | median)"
dd_read_seconds="$(printf '%s' "$read_times" | median)"

echo "== dd beside the zero fill"
awk -v vb="$zero_bytes" -v vr="$zero_rate" -v db="$dd_bytes" -v ds="$dd_seconds" \
    -v note="$dd_note" 'BEGIN {
    dr = db / ds
    printf "vanta:        %d bytes at %.1f MB/s (median; 4 MiB writes, free space probed before each)\n", vb, vr / 1e6
    printf "dd:           %d bytes at %.1f MB/s (median time; bs=4M; %s)\n", db, dr / 1e6, note
    printf "ratio:        vanta / dd = %.2f\n", vr / dr
}'

echo "== verify pass beside dd reading"
awk -v vb="$verify_bytes" -v vr="$verify_rate" -v rr="$read_rate" -v zr="$zero_rate" \
    -v db="$dd_bytes" -v ds="$dd_read_seconds" 'BEGIN {
    dr = db / ds
    printf "verify 0:     %d bytes at %.1f MB/s (median; 4 MiB reads, every byte compared with 0)\n", vb, vr / 1e6
    printf "read only:    median %.1f MB/s (a verify step whose word is random)\n", rr / 1e6
    printf "dd read:      %d bytes at %.1f MB/s (median time; bs=4M)\n", db, dr / 1e6
    printf "ratios:       verify / dd read = %.2f, verify / zero fill = %.2f\n", vr / dr, vr / zr
}'
