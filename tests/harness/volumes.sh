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
