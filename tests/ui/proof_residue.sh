#!/bin/bash
# Proof that an erase through vanta.exe leaves nothing of deleted files on real
# ext4, NTFS, exFAT and btrfs images: files with a marker in their contents are
# written and deleted here, a shipped method runs in the real program, and the
# unmounted raw image is searched. On exFAT and btrfs the program erases from a
# folder "chosen", with user files of random bytes beside it and in it whose
# SHA-256 must not change. On ext4, NTFS and exFAT, real recovery tools
# (photorec, foremost, The Sleuth Kit: ../harness/recover.sh) also search the
# image after the erase and must bring back no deleted file whole; ext4 is
# erased once mounted sync (write-through, as Windows does it) and once without
# sync, where a work file's last writes wait in the page cache until the
# program flushes them.
#   proof_residue.sh PROGRAM_TEST_EXE [rounds|passes]
# rounds: every round but the 35-pass one; passes: that one alone (the two
# run side by side, in two slots); neither: all. ctest runs it as root, with
# the bench up.
set -uo pipefail
harness="$(cd "$(dirname "${BASH_SOURCE[0]}")/../harness" && pwd)"
. "$harness/wine-env.sh"
volumes="$VANTA_BUILD_DIR/volumes" program_test="$1" part="${2:-all}" failed=0
out="$volumes/proof_residue_$part.out" attached="$volumes/proof_residue_$part.attach"

fail() { echo "    FAILED: $*"; failed=1; }
seconds() { awk -v from="$1" -v to="$2" 'BEGIN { printf "%.1f", to - from }'; }

# markers VOLUME MARKER [SMALL LARGE]: occurrences in the unmounted image (the
# volume is mounted again after); with SMALL and LARGE (ext4, NTFS, exFAT) the
# recovery tools' lines go to $volumes/VOLUME.recovered
markers() {
    local image
    rm -f "$volumes/$1.recovered"
    image="$("$harness/volume.sh" detach "$1")" || { echo "cannot detach $1" >&2; return 1; }
    grep -a -o -F "$2" "$image" | wc -l
    if [ $# -ge 4 ]; then
        "$harness/recover.sh" "$image" "$2" "$3" "$4" "$volumes/$1.recovery" >"$volumes/$1.recovered" ||
            echo "recovery tools failed" >>"$volumes/$1.recovered"
    fi
    # NTFS: the size of the file-record table ($MFT's data) as the image holds it
    [ "$kind" != ntfs ] || ntfsinfo -i 0 "$image" | awk '/Dumping attribute \$DATA/ { d = 1 } d && /Data size:/ { print $3; exit }' >"$volumes/$1.mft"
    "$harness/volume.sh" attach "$1" >"$attached" || { echo "cannot attach $1 again" >&2; return 1; }
}

# Text a recovery tool knows as text: the marker, a number, 280 zeros and a
# newline (306 bytes); or 4 MiB of 512-byte blocks that each begin with the
# marker (the first with " L" and a number), lines of zeros after it, and end
# in a newline. recover.sh knows them byte for byte.
plant_plain() {  # DIR MARKER SMALL LARGE
    local i
    for i in $(seq 1 "$3"); do printf '%s %05d %0280d\n' "$2" "$i" 0 >"$1/s$i"; done
    for i in $(seq 1 "$4"); do
        perl -e 'my ($m, $n) = @ARGV;
                 sub block { substr($_[0] . "\n" . ("0" x 63 . "\n") x 8, 0, 511) . "\n" }
                 print block(sprintf("%s L%04d", $m, $n)), block($m) x 8191' "$2" "$i" >"$1/l$i"
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

# The recovery tools' lines of the last detach of VOLUME: the file system they
# read, how many planted files each brought back whole; none when a tool failed
# to run.
recovered_whole() {  # VOLUME
    local tool files markers small large listed
    [ -s "$volumes/$1.recovered" ] || { fail "no recovery tool ran"; return; }
    while read -r tool files markers small large listed; do
        case "$tool" in
        filesystem) echo "      file system as The Sleuth Kit reads it: $files"; continue ;;
        photorec|foremost|sleuthkit) ;;
        *) fail "$tool $files $markers $small $large $listed"; continue ;;
        esac
        echo "      $tool: $files files recovered, $markers markers in them, $small small and $large large" \
             "deleted files whole${listed:+ (fls listed $listed deleted files)}"
    done <"$volumes/$1.recovered"
    [ "$(awk '$1 == "filesystem" { print $2 }' "$volumes/$1.recovered")" = "$kind" ] ||
        fail "the recovery tools did not read the image as $kind"
}
whole_count() {  # VOLUME TOOL [small|large]: the planted files TOOL brought back whole
    awk -v tool="$2" -v which="${3:-}" '$1 == tool { print (which == "small" ? $4 : which == "large" ? $5 : $4 + $5); found = 1 }
        END { if (!found) print -1 }' "$volumes/$1.recovered"
}

# round VOLUME METHOD SMALL LARGE [OPTION...]
#   ext4, ntfs:   plain marker files, the method erases from the volume's root
#   exfat, btrfs: the same from "chosen", the user's files checked; btrfs gets
#                 random-block files written without compression, and erases
#                 with the compression the volume was mounted with
# OPTION growth=BYTES: NTFS, the most the file-record table may grow by (1 MiB)
#        cached:  ext4, the erase runs with the volume mounted without sync
#        control: ext4, NTFS, exFAT: the recovery tools also search the image
#                 after the deletion, and each must bring deleted files back
#                 whole there (a tool that finds nothing before the erase
#                 proves nothing after it); on NTFS The Sleuth Kit must bring
#                 back small files, whose bytes live in their file records
# On ext4, NTFS and exFAT the recovery tools search the image after the erase:
# no deleted file may come back whole.
round() {
    local volume="$1" method="$2" dir="$volumes/$1" marker="vanta-proof-$1-method-$2" drive="VANTA_VOLUME_${1^^}"
    local started="$EPOCHREALTIME" folder written before deleted after erase_started erased user="" users="" kind letter options
    local mft_before mft_after growth=1048576 cached=0 control=0 option tool recovery=() mounted="" knob
    for option in "${@:5}"; do
        case "$option" in
        growth=*) growth="${option#growth=}" ;;
        cached)   cached=1 marker="vanta-proof-$1-cached-method-$2" ;;
        control)  control=1 ;;
        *)        fail "round: unknown option $option"; return ;;
        esac
    done
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
    case "$kind" in ext4|ntfs|exfat) recovery=("$3" "$4") ;; esac
    if [ "$control" = 1 ]; then
        [ ${#recovery[@]} = 2 ] || { fail "round: no recovery tools on $kind"; return; }
        deleted="$(markers "$volume" "$marker" "${recovery[@]}")"
        echo "    recovery tools on the image after the deletion:"
        recovered_whole "$volume"
        for tool in photorec foremost sleuthkit; do
            [ "$(whole_count "$volume" "$tool")" -gt 0 ] 2>/dev/null ||
                fail "$tool must bring deleted files back whole before the erase (or this proves nothing)"
        done
        # NTFS keeps a small file's bytes in its file record, with the last two
        # bytes of each of the record's sectors swapped for its update sequence
        # number on disk: a carver reads them so, The Sleuth Kit undoes that
        if [ "$kind" = ntfs ]; then
            [ "$(whole_count "$volume" sleuthkit small)" -gt 0 ] 2>/dev/null ||
                fail "sleuthkit must bring small files back whole from their file records before the erase"
            [ "$(whole_count "$volume" photorec small)" != 0 ] ||
                echo "      photorec: no small file whole on NTFS: they live in the file-record table," \
                     "which is in use, and photorec carves free clusters; only its large files count here"
            [ "$(whole_count "$volume" foremost small)" != 0 ] ||
                echo "      foremost: no small file whole on NTFS: in a file record each sector's last two" \
                     "bytes are the record's sequence number on disk; only its large files count here"
        fi
    else
        deleted="$(markers "$volume" "$marker")"
    fi
    [ "$kind" != ntfs ] || mft_before="$(cat "$volumes/$volume.mft")"
    [ "$kind" != btrfs ] || echo "    $volume mounted for the erase: $(findmnt -no OPTIONS "$dir")"
    if [ "$cached" = 1 ]; then
        # the work files' writes stay in the page cache until written back or flushed
        mount -o remount,async "$dir" || { fail "cannot mount $volume again without sync"; return; }
        mounted="$(findmnt -no OPTIONS "$dir")" knob="/sys/fs/ext4/$(basename "$(cat "$volumes/$volume.loop")")/reserved_clusters"
        echo "    $volume mounted for the erase: $mounted; ext4's hidden reserve: $(cat "$knob") clusters"
        case ",$mounted," in *,sync,*) fail "$volume is still mounted sync" ;; esac
        [ "$(cat "$knob")" = 0 ] || fail "ext4's hidden reserve is on: free blocks no file can reach"
    fi
    # into a file, not a pipe: Wine's services may hold a pipe open
    erase_started="$EPOCHREALTIME"
    VANTA_PROOF_FOLDER="$folder" VANTA_PROOF_METHOD="$method" \
        "$VANTA_BUILD_DIR/wine-run.sh" "$program_test" --child erase >"$out" 2>&1 || fail "the erase"
    erased="$EPOCHREALTIME"
    sed 's/\r$//; s/^/    /' "$out" | iconv -f CP932 -t UTF-8
    after="$(markers "$volume" "$marker" "${recovery[@]}")"
    echo "$volume, method $method${mounted:+ (mounted $mounted)}: $3 small and $4 large files, $written markers written;" \
         "in the raw image $before before the deletion, $deleted after it, $after after the erase;" \
         "erase $(seconds "$erase_started" "$erased") s, row $(seconds "$started" "$EPOCHREALTIME") s"
    [ "$before" -ge "$written" ] 2>/dev/null && [ "$deleted" -ge "$written" ] 2>/dev/null ||
        fail "the deletion must leave every marker (or this proves nothing)"
    [ "$after" -eq 0 ] 2>/dev/null || fail "the erase must leave no marker"
    if [ ${#recovery[@]} = 2 ]; then
        echo "    recovery tools on the image after the erase:"
        recovered_whole "$volume"
        for tool in photorec foremost sleuthkit; do
            [ "$(whole_count "$volume" "$tool")" -eq 0 ] 2>/dev/null ||
                fail "$tool brought deleted files back whole after the erase (kept in $volumes/$volume.recovery)"
        done
        # what they recovered is kept only when it shows a failure
        [ "$failed" = 1 ] || rm -rf "$volumes/$volume.recovery"
    fi
    if [ "$kind" = ntfs ]; then
        mft_after="$(cat "$volumes/$volume.mft")"
        echo "    the file-record table grew from $mft_before to $mft_after bytes ($(( (mft_after - mft_before) / 1024 )) KiB)"
        [ "$mft_after" -le $((mft_before + growth)) ] 2>/dev/null ||
            fail "the record table grew by more than $growth bytes for good"
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

if [ "$part" != passes ]; then
    for volume in proof_ext4 proof_ntfs proof_exfat; do names_round "$volume"; done
    for how in session kill; do resumed_round proof_ext4 "$how"; done
    round proof_ext4 0 300 6 control
    round proof_ext4 0 300 6 cached
    round proof_ntfs 1 300 6 control
    round proof_ntfs 2 300 6
    round proof_exfat 0 300 6 control
    for method in 1 2; do round proof_exfat "$method" 300 6; done
    round proof_btrfs 1 100 6
fi
# the 35-pass method on a fresh NTFS image: every pass overwrites the records its
# predecessor freed, and the table grows once, for the first pass, not 35 times
[ "$part" = rounds ] || round passes_ntfs 4 100 0 growth=262144
exit $failed
