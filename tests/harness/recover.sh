#!/bin/bash
# Real recovery tools on the unmounted image of an ext4, NTFS or exFAT volume,
# and how many of the marker files that proof_residue.sh planted (and deleted)
# they bring back whole.
#   recover.sh IMAGE MARKER SMALL LARGE OUTDIR
# The first line names the file system, as The Sleuth Kit reads it from the
# image (fsstat -t): "filesystem ext4". Then one line a tool: TOOL FILES
# MARKERS SMALL LARGE, where FILES is how many files the tool wrote, MARKERS
# how often the marker stands in them, SMALL and LARGE how many different
# planted files stand whole in one of them (a planted file is whole when a
# recovered file holds its every byte, in order, from its first byte on);
# The Sleuth Kit's line ends with how many deleted files fls listed. The tools:
#   photorec  carves the file system's free space (its free blocks or
#             clusters, as photorec reads them from the file system; ext mode
#             on ext2/3/4 only), every file type on but "ext" (an ext
#             superblock it would take for a file as large as the volume,
#             with no room for any other)
#   foremost  carves the whole image for the planted files' own first bytes:
#             a small file's header, a large one's first line, at any offset
#             (on NTFS the file records included, where small files live)
#   sleuthkit fls -r -d lists the deleted files and tsk_recover extracts
#             them (what icat -r gives for each, in one process): on NTFS
#             that reads a small file's bytes from its deleted file record,
#             the sectors' fix-ups undone; on ext4 only, which clears a
#             deleted file's extents, the older copies of its inode in the
#             journal (jls, the journal read with icat) map its blocks too,
#             as ext4 undelete tools do
# The planted files (proof_residue.sh's plant_plain): small file N (1..SMALL)
# is "MARKER NNNNN " and 280 zeros and a newline; large file N (1..LARGE) is
# 4 MiB of 512-byte blocks that each begin with the marker, the first
# "MARKER LNNNN", each followed by lines of zeros and ending in a newline.
# OUTDIR is emptied and filled with what the tools recovered.
set -uo pipefail
[ $# = 5 ] || { echo "usage: recover.sh IMAGE MARKER SMALL LARGE OUTDIR" >&2; exit 2; }
image="$1" marker="$2" small="$3" large="$4" out="$5"
rm -rf "$out" && mkdir -p "$out/photorec" "$out/foremost" "$out/sleuthkit" || exit 2

filesystem="$(fsstat -t "$image" 2>/dev/null)"
case "$filesystem" in
ext2|ext3|ext4) mode="options,mode_ext2," ;;
ntfs|exfat)     mode="" ;;
*) echo "recover.sh: no recovery on $image: file system '$filesystem' (ext4, NTFS or exFAT only)" >&2; exit 2 ;;
esac
echo "filesystem $filesystem"

# Counts the planted files found whole under a tool's directory.
whole() {  # DIR
    /usr/bin/python3 - "$marker" "$small" "$large" "$1" <<'PY'
import os, re, sys
marker, small, large = sys.argv[1].encode(), int(sys.argv[2]), int(sys.argv[3])
def small_file(n):
    return b"%s %05d %s\n" % (marker, n, b"0" * 280)
def block(head):
    return (head + b"\n" + (b"0" * 63 + b"\n") * 8)[:511] + b"\n"
def large_file(n):
    return block(b"%s L%04d" % (marker, n)) + block(marker) * 8191
small_at = re.compile(re.escape(marker) + rb" (\d{5}) ")
large_at = re.compile(re.escape(marker) + rb" L(\d{4})\n")
files = markers = 0
found_small, found_large = set(), set()
for base, _, names in os.walk(sys.argv[4]):
    for name in names:
        data = open(os.path.join(base, name), "rb").read()
        files += 1
        markers += data.count(marker)
        for m in small_at.finditer(data):
            n = int(m.group(1))
            if 1 <= n <= small and data.startswith(small_file(n), m.start()):
                found_small.add(n)
        for m in large_at.finditer(data):
            n = int(m.group(1))
            if 1 <= n <= large and data.startswith(large_file(n), m.start()):
                found_large.add(n)
print(files, markers, len(found_small), len(found_large))
PY
}

# photorec: non-interactive (/cmd), its log in its own directory
( cd "$out/photorec" &&
  photorec /log /d "$out/photorec/recup" /cmd "$image" \
      partition_none,${mode}fileopt,everything,enable,ext,disable,freespace,search ) >/dev/null 2>&1 ||
    { echo "recover.sh: photorec failed on $image" >&2; exit 2; }
rm -f "$out/photorec/photorec.log" "$out"/photorec/recup.*/report.xml
echo "photorec $(whole "$out/photorec")"

# foremost: a configuration of the planted files' headers (a space is \s)
printf '%s\n' "small y 512 ${marker}\\s0" "large y 4194304 ${marker}\\sL" >"$out/foremost.conf"
foremost -Q -c "$out/foremost.conf" -i "$image" -o "$out/foremost/carved" >/dev/null 2>&1 ||
    { echo "recover.sh: foremost failed on $image" >&2; exit 2; }
rm -f "$out/foremost/carved/audit.txt"
echo "foremost $(whole "$out/foremost")"

# The Sleuth Kit
# (prints how many deleted files fls listed)
listed="$(/usr/bin/python3 - "$image" "$out/sleuthkit" "$filesystem" <<'PY'
import os, re, struct, subprocess, sys
image, out, filesystem = sys.argv[1:4]
def run(*args):
    return subprocess.run(args, check=True, stdout=subprocess.PIPE).stdout
# the deleted regular files, by inode
deleted = set()
for line in run("fls", "-r", "-d", "-p", image).decode(errors="replace").splitlines():
    m = re.match(r"[-r]/r \* (\d+)", line)
    if m:
        deleted.add(int(m.group(1)))
print(len(deleted))
# what The Sleuth Kit recovers of them itself (icat -r for each, in one process)
os.mkdir(os.path.join(out, "tsk_recover"))
run("tsk_recover", image, os.path.join(out, "tsk_recover"))
if not filesystem.startswith("ext"):
    sys.exit(0)
# where each inode lives: the file system's layout, as fsstat gives it
stat = run("fsstat", image).decode(errors="replace")
def field(name):
    return int(re.search(r"^%s: (\d+)" % name, stat, re.M).group(1))
block, inode_size, per_group = field("Block Size"), field("Inode Size"), field("Inodes per group")
journal_inode = field("Journal Inode")
tables = [int(t) for t in re.findall(r"^\s+Inode Table: (\d+) - \d+", stat, re.M)]
# the journal's blocks that are copies of file-system blocks
copies = {}
for line in run("jls", image).decode(errors="replace").splitlines():
    m = re.match(r"(\d+):\s+(?:Unallocated|Allocated) FS Block (\d+)", line)
    if m:
        copies.setdefault(int(m.group(2)), []).append(int(m.group(1)))
journal = run("icat", image, str(journal_inode))
disk = open(image, "rb")
def read(number, count=1):
    disk.seek(number * block)
    return disk.read(count * block)
def extents(node):  # the (logical, physical, length) runs of an extent tree node
    magic, entries, _, depth = struct.unpack_from("<HHHH", node, 0)
    if magic != 0xF30A:
        return []
    runs = []
    for k in range(entries):
        at = 12 + 12 * k
        if at + 12 > len(node):
            break
        if depth == 0:
            logical, length, high, low = struct.unpack_from("<IHHI", node, at)
            runs.append((logical, (high << 32) | low, length - 32768 if length > 32768 else length))
        else:
            _, low, high = struct.unpack_from("<IIH", node, at)
            runs += extents(read((high << 32) | low))
    return runs
for inode in sorted(deleted):
    group, index = divmod(inode - 1, per_group)
    if group >= len(tables):
        continue
    where, offset = divmod(index * inode_size, block)
    seen = set()
    for copy in copies.get(tables[group] + where, []):
        raw = journal[copy * block + offset: copy * block + offset + inode_size]
        if len(raw) < 128:
            continue
        size = struct.unpack_from("<I", raw, 4)[0] | (struct.unpack_from("<I", raw, 108)[0] << 32)
        flags = struct.unpack_from("<I", raw, 32)[0]
        if not size or not flags & 0x80000:
            continue
        runs = tuple(sorted(extents(raw[40:100])))
        if (size, runs) in seen:   # the same file as an older copy gave
            continue
        seen.add((size, runs))
        data = bytearray()
        for logical, physical, length in runs:
            start = logical * block
            if start >= size:
                continue
            data.extend(bytes(max(0, start - len(data))))
            data[start:start + length * block] = read(physical, min(length, (size - start + block - 1) // block))
        with open(os.path.join(out, "journal-%d-%d" % (inode, len(seen))), "wb") as f:
            f.write(bytes(data[:size]))
PY
)" || { echo "recover.sh: The Sleuth Kit failed on $image" >&2; exit 2; }
echo "sleuthkit $(whole "$out/sleuthkit") $listed"
