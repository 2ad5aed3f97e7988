#!/bin/bash
# up:   mounts every volume of volumes.list and maps it to its drive letter
# down: releases them all (never fails, so it can always clean up)
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
list="$here/volumes.list"

# a gate left holding a request (a test that died) lets it go: the volume can be released
if [ "${1:-}" = down ] && [ -n "${VANTA_BUILD_DIR:-}" ]; then
    for gate in "$VANTA_BUILD_DIR"/volumes/*.gate; do
        [ -f "$gate" ] && : >"$gate"
    done
fi

grep -v '^\s*#' "$list" | grep -v '^\s*$' | while read -r name kind size letter option; do
    case "${1:-}" in
    up)   "$here/volume.sh" mount "$name" "$kind" "$size" "$letter" $option || exit 1 ;;
    down) "$here/volume.sh" unmount "$name" "$letter" ;;
    *)    echo "usage: volumes.sh up|down" >&2; exit 2 ;;
    esac
done
status=$?

# Volumes dropped from the list while they were mounted would otherwise stay
# mounted for good: release whatever is left under the build tree's volumes
# (tmpfs, ntfs-3g and exfat-fuse mounts, ext4 and btrfs loop mounts, the loop
# devices under them), and unmap any drive that still leads there, which now
# would be a plain directory on this machine's disk.
if [ "${1:-}" = down ] && [ -n "${VANTA_BUILD_DIR:-}" ]; then
    root="$VANTA_BUILD_DIR/volumes"
    . "$here/wine-env.sh"
    for link in $(for slot in $VANTA_SLOTS; do echo "$(slot_prefix "$slot")/dosdevices"/?:; done); do
        case "$(readlink "$link")" in "$root"/*) rm -f "$link" "$link:" ;; esac
    done
    for dir in "$root"/*/; do
        mountpoint -q "$dir" && { umount "$dir" 2>/dev/null || umount -l "$dir" 2>/dev/null; }
    done
    # a busy loop device (exfat-fuse still closing it) goes when its last user does
    losetup -n -l -O NAME,BACK-FILE 2>/dev/null | while read -r loop file _; do
        case "$file" in "$root"/*) losetup -d "$loop" 2>/dev/null || true ;; esac
    done
fi
exit $status
