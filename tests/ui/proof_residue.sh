#!/bin/bash
# Proof that an erase through vanta.exe leaves nothing of deleted files on real
# ext4, NTFS, exFAT and btrfs images: files with a marker in their contents are
# written and deleted here, a shipped method runs in the real program, and the
# unmounted raw image is searched. On exFAT and btrfs the program erases from a
# folder "chosen", with user files of random bytes beside it and in it whose
# SHA-256 must not change.
#   proof_residue.sh PROGRAM_TEST_EXE   (ctest runs it as root, with the bench up)
set -uo pipefail
harness="$(cd "$(dirname "${BASH_SOURCE[0]}")/../harness" && pwd)"
. "$harness/wine-env.sh"
volumes="$VANTA_BUILD_DIR/volumes" program_test="$1" failed=0
out="$volumes/proof_residue.out" attached="$volumes/proof_residue.attach"

fail() { echo "    FAILED: $*"; failed=1; }
seconds() { awk -v from="$1" -v to="$2" 'BEGIN { printf "%.1f", to - from }'; }

markers() {  # VOLUME MARKER: occurrences in the unmounted image (the volume is mounted again after)
    local image
    image="$("$harness/volume.sh" detach "$1")" || { echo "cannot detach $1" >&2; return 1; }
    grep -a -o -F "$2" "$image" | wc -l
    # NTFS: the size of the file-record table ($MFT's data) as the image holds it
    [ "$kind" != ntfs ] || ntfsinfo -i 0 "$image" | awk '/Dumping attribute \$DATA/ { d = 1 } d && /Data size:/ { print $3; exit }' >"$volumes/$1.mft"
    "$harness/volume.sh" attach "$1" >"$attached" || { echo "cannot attach $1 again" >&2; return 1; }
}

# The marker, then a number, then zeros: about 300 bytes; or 4 MiB with the
# marker at the start of every 512-byte block.
plant_plain() {  # DIR MARKER SMALL LARGE
    local i
    for i in $(seq 1 "$3"); do printf '%s %05d %0280d' "$2" "$i" 0 >"$1/s$i"; done
    for i in $(seq 1 "$4"); do
        yes "$(printf '%s%0*d' "$2" $((512 - ${#2})) 0)" | tr -d '\n' | head -c 4M >"$1/l$i"
    done
}

# Every 512-byte block the marker, then random bytes: nothing a compressing
# file system could shrink, and files too big to live inline in its metadata.
random_blocks() {  # MARKER SIZE
    perl -e 'my ($m, $n) = @ARGV; open(my $r, "<:raw", "/dev/urandom") or die; binmode STDOUT;
             for (1 .. $n / 512) { read($r, my $f, 512 - length $m) or die; print $m, $f }' "$1" "$2"
}
plant_random() {  # DIR MARKER SMALL LARGE: SMALL files of 64 KiB, LARGE of 4 MiB
    local i
    for i in $(seq 1 "$3"); do random_blocks "$2" 65536 >"$1/s$i"; done
    for i in $(seq 1 "$4"); do random_blocks "$2" 4194304 >"$1/l$i"; done
}

# The user's files beside the chosen folder and in it, one named like a work file.
plant_user_files() {  # ROOT
    mkdir -p "$1/chosen" "$1/user"
    head -c 1 /dev/urandom >"$1/one-byte"
    head -c 4096 /dev/urandom >"$1/one-cluster.bin"
    head -c 300001 /dev/urandom >"$1/user/odd-size.bin"
    head -c 1048583 /dev/urandom >"$1/chosen/00000001"
    head -c 5000 /dev/urandom >"$1/chosen/notes.txt"
}
hash_files() {  # ROOT: every file on the volume, with its SHA-256
    (cd "$1" && find . -type f -print0 | sort -z | xargs -0r sha256sum)
}

# round VOLUME METHOD SMALL LARGE [MOST_RECORD_TABLE_GROWTH]
#   ext4, ntfs:   plain marker files, the method erases from the volume's root
#   exfat, btrfs: the same from "chosen", the user's files checked; btrfs gets
#                 random-block files written without compression, and erases
#                 with the compression the volume was mounted with
round() {
    local volume="$1" method="$2" dir="$volumes/$1" marker="vanta-proof-$1-method-$2" drive="VANTA_VOLUME_${1^^}"
    local started="$EPOCHREALTIME" folder written before deleted after erase_started erased user="" users="" kind letter options
    local mft_before mft_after
    mountpoint -q "$dir" || { fail "$volume is not mounted"; return; }
    . "$volumes/$volume.state"
    folder="${!drive}\\"
    if [ "$kind" = exfat ] || [ "$kind" = btrfs ]; then
        plant_user_files "$dir"
        user="$(hash_files "$dir")" folder="${!drive}\\chosen\\"
        users=$(echo "$user" | wc -l)
    fi
    if [ "$kind" = btrfs ]; then
        "$harness/volume.sh" detach "$volume" >/dev/null && "$harness/volume.sh" attach "$volume" nodiscard ||
            { fail "cannot mount $volume without compression"; return; }
        echo "    $volume mounted for the planting: $(findmnt -no OPTIONS "$dir")"
        case "$(findmnt -no OPTIONS "$dir")" in *compress*) fail "the markers would be written compressed" ;; esac
        mkdir -p "$dir/planted" && plant_random "$dir/planted" "$marker" "$3" "$4"
        written=$(($3 * 128 + $4 * 8192))
    else
        mkdir -p "$dir/planted" && plant_plain "$dir/planted" "$marker" "$3" "$4"
        written=$(($3 + $4 * 8192))
    fi
    before="$(markers "$volume" "$marker")"
    if [ "$kind" = ext4 ] && [[ ",$options," == *,bare,* ]]; then
        sed 's/^volume [^ ]*: /    /' "$attached"
        [ "$(cat "/sys/fs/ext4/$(basename "$(cat "$volumes/$volume.loop")")/reserved_clusters")" = 0 ] ||
            fail "ext4's hidden reserve is on: free blocks no file can reach"
    fi
    rm -r "$dir/planted"
    deleted="$(markers "$volume" "$marker")"
    [ "$kind" != ntfs ] || mft_before="$(cat "$volumes/$volume.mft")"
    [ "$kind" != btrfs ] || echo "    $volume mounted for the erase: $(findmnt -no OPTIONS "$dir")"
    # into a file, not a pipe: Wine's services may hold a pipe open
    erase_started="$EPOCHREALTIME"
    VANTA_PROOF_FOLDER="$folder" VANTA_PROOF_METHOD="$method" \
        "$VANTA_BUILD_DIR/wine-run.sh" "$program_test" --child erase >"$out" 2>&1 || fail "the erase"
    erased="$EPOCHREALTIME"
    sed 's/\r$//; s/^/    /' "$out" | iconv -f CP932 -t UTF-8
    after="$(markers "$volume" "$marker")"
    echo "$volume, method $method: $3 small and $4 large files, $written markers written;" \
         "in the raw image $before before the deletion, $deleted after it, $after after the erase;" \
         "erase $(seconds "$erase_started" "$erased") s, row $(seconds "$started" "$EPOCHREALTIME") s"
    [ "$before" -ge "$written" ] 2>/dev/null && [ "$deleted" -ge "$written" ] 2>/dev/null ||
        fail "the deletion must leave every marker (or this proves nothing)"
    [ "$after" -eq 0 ] 2>/dev/null || fail "the erase must leave no marker"
    if [ "$kind" = ntfs ]; then
        mft_after="$(cat "$volumes/$volume.mft")"
        echo "    the file-record table grew from $mft_before to $mft_after bytes ($(( (mft_after - mft_before) / 1024 )) KiB)"
        [ "$mft_after" -le $((mft_before + ${5:-1048576})) ] 2>/dev/null ||
            fail "the record table grew by more than ${5:-1048576} bytes for good"
    fi
    if [ -n "$user" ]; then
        if [ "$(hash_files "$dir")" = "$user" ]; then
            echo "    $users user files beside and in the chosen folder kept byte for byte (SHA-256)"
        else
            fail "the user's files changed:"
            diff <(echo "$user") <(hash_files "$dir") | sed 's/^/        /'
        fi
        rm -r "$dir/chosen" "$dir/user" "$dir/one-byte" "$dir/one-cluster.bin"
    fi
}

# The names of deleted files: how often each marker stands in the unmounted
# image, as bytes or as UTF-16 (NTFS and exFAT keep names so).
names() {  # VOLUME MARKER...: one count a marker (the volume is mounted again after)
    local image
    image="$("$harness/volume.sh" detach "$1")" || { echo "cannot detach $1" >&2; return 1; }
    /usr/bin/python3 - "$image" "${@:2}" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
print(*(data.count(m.encode()) + data.count(m.encode("utf-16-le")) for m in sys.argv[2:]))
PY
    "$harness/volume.sh" attach "$1" >"$attached" || { echo "cannot attach $1 again" >&2; return 1; }
}

# names_round VOLUME: 300 empty files whose names carry a marker, deleted with
# their folder, and 200 deleted from a folder that stays; method 0 erases from
# the volume's root, started unattended (/start /exit with a report). The names deleted with their folder must be gone. Those
# deleted from a folder that stays live on in that folder's index, which no
# free-space erase reaches: their count is printed, not judged. The markers
# begin the names and are short: exFAT keeps a name in pieces of 15
# characters.
names_round() {
    local volume="$1" dir="$volumes/$1" gone="vgoneQ" kept="vkeptQ" drive="VANTA_VOLUME_${1^^}" i
    local before deleted after
    mountpoint -q "$dir" || { fail "$volume is not mounted"; return; }
    mkdir -p "$dir/gone" "$dir/kept"
    for i in $(seq -w 1 300); do : >"$dir/gone/$gone$i.txt"; done
    for i in $(seq -w 1 200); do : >"$dir/kept/$kept$i.txt"; done
    before="$(names "$volume" "$gone" "$kept")"
    rm -r "$dir/gone" && rm "$dir/kept/"*
    deleted="$(names "$volume" "$gone" "$kept")"
    # as a scheduled task runs it: /start /exit, a report, no one at the window
    VANTA_PROOF_FOLDER="${!drive}\\" VANTA_PROOF_METHOD=0 \
        "$VANTA_BUILD_DIR/wine-run.sh" "$program_test" --child erase-unattended >"$out" 2>&1 || fail "the erase"
    sed 's/\r$//; s/^/    /' "$out" | iconv -f CP932 -t UTF-8
    after="$(names "$volume" "$gone" "$kept")"
    rmdir "$dir/kept"
    set -- $before $deleted $after
    echo "$volume, names of deleted files (with their folder / from a folder that stays): $1 / $2 in the raw" \
         "image before the deletion, $3 / $4 after it, $5 / $6 after an erase with method 0"
    [ "$1" -ge 300 ] 2>/dev/null && [ "$3" -ge 1 ] 2>/dev/null ||
        fail "the deletion must leave names behind (or this proves nothing)"
    [ "$5" -eq 0 ] 2>/dev/null || fail "names deleted with their folder must be gone after the erase"
}

# resumed_round VOLUME session|kill: marker files planted and deleted, then a
# four-pass method cut short in its second pass (the session's end, or the
# process killed) and gone on with (/resume) from the root: no marker may be
# left, nor the work folder or its journal.
resumed_round() {
    local volume="$1" how="$2" dir="$volumes/$1" marker="vanta-proof-$1-resumed-$2" drive="VANTA_VOLUME_${1^^}"
    local before deleted after kind letter options
    mountpoint -q "$dir" || { fail "$volume is not mounted"; return; }
    . "$volumes/$volume.state"
    mkdir -p "$dir/planted" && plant_plain "$dir/planted" "$marker" 300 6
    before="$(markers "$volume" "$marker")"
    rm -r "$dir/planted"
    deleted="$(markers "$volume" "$marker")"
    if [ "$how" = kill ]; then export VANTA_PROOF_KILL=1; else unset VANTA_PROOF_KILL; fi
    VANTA_PROOF_FOLDER="${!drive}\\" "$VANTA_BUILD_DIR/wine-run.sh" "$program_test" --child erase-resumed >"$out" 2>&1 ||
        fail "the erase did not go on to a complete end"
    unset VANTA_PROOF_KILL
    sed 's/\r$//; s/^/    /' "$out" | iconv -f CP932 -t UTF-8
    after="$(markers "$volume" "$marker")"
    echo "$volume, four passes cut short in pass 2 ($how) and gone on with: in the raw image $before markers" \
         "before the deletion, $deleted after it, $after after the erase"
    [ "$deleted" -ge 300 ] 2>/dev/null || fail "the deletion must leave the markers (or this proves nothing)"
    [ "$after" -eq 0 ] 2>/dev/null || fail "the erase that went on must leave no marker"
    if [ -e "$dir/\$VANTA\$\$" ]; then
        fail "the work folder or its journal was left"
        # the rounds after this one begin on a volume without it
        rm -rf "$dir/\$VANTA\$\$"
    fi
}

for volume in proof_ext4 proof_ntfs proof_exfat; do names_round "$volume"; done
for how in session kill; do resumed_round proof_ext4 "$how"; done
for row in proof_ext4:0 proof_ntfs:1 proof_ntfs:2; do round "${row%:*}" "${row#*:}" 300 6; done
for method in 0 1 2; do round proof_exfat "$method" 300 6; done
round proof_btrfs 1 100 6
# the 35-pass method on a fresh NTFS image: every pass overwrites the records its
# predecessor freed, and the table grows once, for the first pass, not 35 times
round passes_ntfs 4 100 0 262144
exit $failed
