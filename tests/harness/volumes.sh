#!/bin/bash
# up:   mounts every volume of volumes.list and maps it to its drive letter
# down: releases them all (never fails, so it can always clean up)
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
list="$here/volumes.list"

grep -v '^\s*#' "$list" | grep -v '^\s*$' | while read -r name kind size letter option; do
    case "${1:-}" in
    up)   "$here/volume.sh" mount "$name" "$kind" "$size" "$letter" $option || exit 1 ;;
    down) "$here/volume.sh" unmount "$name" "$letter" ;;
    *)    echo "usage: volumes.sh up|down" >&2; exit 2 ;;
    esac
done
status=$?

# Volumes dropped from the list while they were mounted would otherwise stay
# mounted for good: release whatever is left under the build tree's volumes.
if [ "${1:-}" = down ] && [ -n "${VANTA_BUILD_DIR:-}" ]; then
    root="$VANTA_BUILD_DIR/volumes"
    for dir in "$root"/*/; do
        mountpoint -q "$dir" && { umount "$dir" 2>/dev/null || umount -l "$dir" 2>/dev/null; }
    done
    losetup -n -l -O NAME,BACK-FILE 2>/dev/null | while read -r loop file _; do
        case "$file" in "$root"/*) losetup -d "$loop" 2>/dev/null || true ;; esac
    done
fi
exit $status
