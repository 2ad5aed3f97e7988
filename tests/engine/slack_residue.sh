#!/bin/bash
# Proof that an erase leaves nothing of deleted files on a real NTFS volume
# (residue_ntfs, an ntfs-3g image): files holding a marker are written and
# deleted, the raw image is searched for the marker, an erase step runs
# through the step runner, and the raw image is searched again. Small files
# live inside their file records, large ones in clusters; both must be gone.
# After an erase with a byte value, the file records of the small work files
# must hold that byte over all the room they had: the largest size was found.
#
#   slack_residue.sh HELPER_EXE     (ctest runs it as root, with the bench up)
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
harness="$here/../harness"
. "$harness/wine-env.sh"

helper="$1"
name=residue_ntfs
drive="${VANTA_VOLUME_RESIDUE_NTFS:?no residue_ntfs volume on this bench}"
out="$VANTA_BUILD_DIR/volumes/$name.out"
failed=0

# Into a file, not a pipe: Wine's services may hold a pipe open.
helper_run() {
    "$VANTA_BUILD_DIR/wine-run.sh" "$helper" "$@" >"$out" 2>&1
    local result=$?
    sed 's/\r$//; s/^/    /' "$out"
    return $result
}

# Occurrences of the marker anywhere in the unmounted image.
markers() {
    local image
    image="$("$harness/volume.sh" detach "$name")" || exit 1
    grep -a -o -F "$1" "$image" | wc -l
    if [ -n "${2:-}" ]; then
        helper_run records "Z:${image//\//\\}" "$2" >&2 || echo "records" >"$out.failed"
    fi
    "$harness/volume.sh" attach "$name" || exit 1
}

# round TITLE KIND COUNT MARKER STEP [BYTE]
round() {
    local title="$1" kind="$2" count="$3" marker="$4" step="$5" byte="${6:-}"
    echo "== $title"
    helper_run "plant-$kind" "$drive" "$count" "$marker" || { failed=1; return; }
    local before after
    before="$(markers "$marker")"
    helper_run erase "$drive" "$step" || failed=1
    rm -f "$out.failed"
    after="$(markers "$marker" "$byte")"
    echo "    markers in the raw image: before the erase $before, after it $after"
    if [ -e "$out.failed" ]; then
        echo "    FAILED: a small work file's record does not hold the pattern over all its room"
        rm -f "$out.failed"
        failed=1
    fi
    if [ "$before" -lt "$count" ]; then
        echo "    FAILED: the deleted files left fewer markers than files; the proof proves nothing"
        failed=1
    fi
    if [ "$after" -ne 0 ]; then
        echo "    FAILED: $after markers survived the erase"
        failed=1
    fi
}

round "400 small files (inside their file records), erase 0xa5" \
    small 400 "vanta-small-residue" "erase 0xa5" 0xa5
round "12 large files of 4 MiB (in clusters), erase random" \
    large 12 "vanta-large-residue" "erase random"
round "400 small files, erase,verify 0 (the large files stay for the verify)" \
    small 400 "vanta-verify-residue" "erase,verify 0"
exit $failed
