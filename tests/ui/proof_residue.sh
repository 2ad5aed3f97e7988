#!/bin/bash
# Proof that an erase through vanta.exe leaves nothing of deleted files on real
# ext4 and NTFS images: files with a marker in their contents (about 300 bytes,
# or 4 MiB with it in every sector) are written and deleted here, a shipped
# method runs in the real program, and the unmounted raw image is searched.
#   proof_residue.sh PROGRAM_TEST_EXE   (ctest runs it as root, with the bench up)
set -uo pipefail
harness="$(cd "$(dirname "${BASH_SOURCE[0]}")/../harness" && pwd)"
. "$harness/wine-env.sh"
out="$VANTA_BUILD_DIR/volumes/proof_residue.out" program_test="$1" failed=0

markers() {  # VOLUME MARKER: occurrences in the unmounted image
    local image
    image="$("$harness/volume.sh" detach "$1")" || exit 1
    grep -a -o -F "$2" "$image" | wc -l
    "$harness/volume.sh" attach "$1" >/dev/null || exit 1
}

round() {  # VOLUME METHOD SMALL_FILES LARGE_FILES
    local dir="$VANTA_BUILD_DIR/volumes/$1" marker="vanta-proof-$1-method-$2" drive="VANTA_VOLUME_${1^^}" i
    local written=$(($3 + $4 * 8192)) before deleted after
    mkdir -p "$dir/planted"
    for i in $(seq 1 "$3"); do printf '%s %05d %0280d' "$marker" "$i" 0 >"$dir/planted/s$i"; done
    for i in $(seq 1 "$4"); do
        yes "$(printf '%s%0*d' "$marker" $((512 - ${#marker})) 0)" | tr -d '\n' | head -c 4M >"$dir/planted/l$i"
    done
    before="$(markers "$1" "$marker")"
    rm -r "$dir/planted"
    deleted="$(markers "$1" "$marker")"
    # into a file, not a pipe: Wine's services may hold a pipe open
    VANTA_PROOF_FOLDER="${!drive}\\" VANTA_PROOF_METHOD="$2" \
        "$VANTA_BUILD_DIR/wine-run.sh" "$program_test" --child erase >"$out" 2>&1 || failed=1
    sed 's/\r$//; s/^/    /' "$out" | iconv -f CP932 -t UTF-8
    after="$(markers "$1" "$marker")"
    echo "$1, method $2: $3 small and $4 large files, $written markers written;" \
         "in the raw image $before before the deletion, $deleted after it, $after after the erase"
    [ "$deleted" -ge "$written" ] && [ "$after" -eq 0 ] ||
        { echo "    FAILED: the deletion must leave every marker (or this proves nothing), the erase none"; failed=1; }
}

for volume_method in proof_ext4:0 proof_ntfs:1 proof_ntfs:2; do round "${volume_method%:*}" "${volume_method#*:}" 300 6; done
exit $failed
