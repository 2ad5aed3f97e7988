#!/bin/bash
# Proof on a real NTFS volume (residue_ntfs, an ntfs-3g image) that an erase leaves
# nothing of deleted files: marker files are written and deleted, the unmounted image
# searched, an erase run, the image searched again. 300-byte files live inside their
# file records (only the record-slack pass reaches them), 4 MiB ones in clusters.
#   slack_residue.sh TEST_EXE     (its test DISABLED_EraseForTheResidueProof erases)
set -uo pipefail
harness="$(cd "$(dirname "${BASH_SOURCE[0]}")/../harness" && pwd)"
. "$harness/wine-env.sh"
exe="$1" name=residue_ntfs failed=0
mnt="$VANTA_BUILD_DIR/volumes/$name" out="$VANTA_BUILD_DIR/volumes/$name.out"

markers() {
    image="$("$harness/volume.sh" detach "$name")" && grep -a -o -F "$1" "$image" | wc -l
    "$harness/volume.sh" attach "$name" || echo "cannot attach $name again" >&2
}

# round COUNT SIZE MARKER WORD [verify]
round() {
    mkdir "$mnt/planted" && for i in $(seq "$1"); do yes "$3" | head -c "$2" >"$mnt/planted/$i"; done
    rm -rf "$mnt/planted"
    before="$(markers "$3")"
    # into a file, not a pipe: Wine's services may hold a pipe open
    env ${5:+VANTA_RESIDUE_VERIFY=1} VANTA_RESIDUE_WORD="$4" "$VANTA_BUILD_DIR/wine-run.sh" "$exe" \
        --gtest_also_run_disabled_tests --gtest_filter='*EraseForTheResidueProof' >"$out" 2>&1
    erased=$?
    after="$(markers "$3")"
    echo "$1 deleted files of $2 bytes, erase${5:+,verify} $4: markers in the raw image before $before, after $after"
    sed 's/\r$//; s/^/    /' "$out" | grep -E "figures|Failure|FAILED" -A3
    [ $erased = 0 ] || { echo "    FAILED: the erase"; failed=1; }
    [ "$before" -ge "$1" ] || { echo "    FAILED: fewer markers than files; the proof proves nothing"; failed=1; }
    [ "$after" -eq 0 ] || { echo "    FAILED: markers survived the erase"; failed=1; }
}

round 400 300 vanta-small-residue 0xa5
round 12 4194304 vanta-large-residue random
round 400 300 vanta-verify-residue 0 verify
exit $failed
