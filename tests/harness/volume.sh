#!/bin/bash
# Real small volumes for the test bench, mapped to Wine drive letters.
#
#   volume.sh mount NAME KIND SIZE LETTER [OPTION]
#       KIND tmpfs  SIZE as mount understands it (24m, 1536m); OPTION more
#                   mount options (nr_inodes=2000)
#       KIND ext4   SIZE for truncate; OPTION is the reserved-blocks percentage (default 0)
#       KIND ntfs   SIZE for truncate
#       KIND fat    a tmpfs of SIZE that Wine takes for FAT: the drive's device
#                   is a loop device holding a FAT image, files go to the tmpfs
#   volume.sh unmount NAME LETTER
#   volume.sh detach NAME
#       unmounts an ntfs or ext4 volume but keeps its image (and an ext4
#       volume's loop device), so that the raw bytes can be read; prints the
#       image's path. The drive letter stays mapped: no Windows program may
#       use it until attach.
#   volume.sh attach NAME
#       mounts the kept image again.
#
# Everything lives under $VANTA_BUILD_DIR/volumes. Mounting needs root; a
# bench that cannot mount fails here rather than skipping its tests.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/wine-env.sh"

root="$VANTA_BUILD_DIR/volumes"
dosdevices="$WINEPREFIX/dosdevices"

die() { echo "volume.sh: $*" >&2; exit 1; }

release() {
    local name="$1" letter="$2"
    local dir="$root/$name" state="$root/$name.loop"
    rm -f "$dosdevices/$letter:" "$dosdevices/$letter::"
    if mountpoint -q "$dir" 2>/dev/null; then
        umount "$dir" 2>/dev/null || umount -l "$dir" 2>/dev/null || true
    fi
    if [ -f "$state" ]; then
        losetup -d "$(cat "$state")" 2>/dev/null || true
        rm -f "$state"
    fi
    rm -f "$root/$name.img"
    rmdir "$dir" 2>/dev/null || true
}

cmd="${1:-}"
case "$cmd" in
mount)
    [ $# -ge 5 ] || die "usage: mount NAME KIND SIZE LETTER [OPTION]"
    name="$2" kind="$3" size="$4" letter="$5" option="${6:-}"
    [ "$(id -u)" = 0 ] || die "mounting test volumes needs root"
    [ -d "$dosdevices" ] || die "no Wine prefix at $WINEPREFIX"
    mkdir -p "$root"
    release "$name" "$letter"          # a run that died may have left it mounted
    dir="$root/$name"
    mkdir -p "$dir"
    case "$kind" in
    tmpfs)
        mount -t tmpfs -o "size=$size,mode=0777${option:+,$option}" "vanta-$name" "$dir" ||
            die "cannot mount tmpfs on $dir"
        ;;
    ext4)
        img="$root/$name.img"
        truncate -s "$size" "$img"
        mkfs.ext4 -q -F -m "${option:-0}" "$img" || die "mkfs.ext4 failed"
        loop="$(losetup -f --show "$img")" || die "no free loop device"
        echo "$loop" > "$root/$name.loop"
        mount "$loop" "$dir" || die "cannot mount $loop on $dir"
        rmdir "$dir/lost+found" 2>/dev/null || true
        # Wine needs the device as well to answer volume queries for an ext4 mount
        ln -sfn "$loop" "$dosdevices/$letter::"
        ;;
    fat)
        mount -t tmpfs -o "size=$size,mode=0777" "vanta-$name" "$dir" || die "cannot mount tmpfs on $dir"
        img="$root/$name.img"
        truncate -s 8m "$img"
        mkfs.vfat "$img" >/dev/null || die "mkfs.vfat failed"
        loop="$(losetup -f --show "$img")" || die "no free loop device"
        echo "$loop" > "$root/$name.loop"
        # Wine reads the file system's name from the device's boot sector
        ln -sfn "$loop" "$dosdevices/$letter::"
        ;;
    ntfs)
        img="$root/$name.img"
        truncate -s "$size" "$img"
        mkntfs -q -F -Q "$img" >/dev/null 2>&1 || die "mkntfs failed"
        ntfs-3g "$img" "$dir" || die "cannot mount NTFS image on $dir"
        ;;
    *)
        die "unknown volume kind '$kind'"
        ;;
    esac
    ln -sfn "$dir" "$dosdevices/$letter:"
    echo "volume $name ($kind $size) mounted as ${letter^^}:"
    ;;
unmount)
    [ $# -ge 3 ] || die "usage: unmount NAME LETTER"
    release "$2" "$3"
    echo "volume $2 released"
    ;;
detach)
    [ $# -ge 2 ] || die "usage: detach NAME"
    name="$2" dir="$root/$2" img="$root/$2.img"
    [ -f "$img" ] || die "no image for $name"
    mountpoint -q "$dir" || die "$name is not mounted"
    umount "$dir" || die "cannot unmount $dir"
    # ntfs-3g writes its last records after the unmount returns (an ext4
    # image is held by its loop device, which no process has open)
    real="$(realpath "$img")"
    for _ in $(seq 1 200); do
        busy="$(find /proc/[0-9]*/fd -lname "$real" -print -quit 2>/dev/null || true)"
        [ -z "$busy" ] && break
        sleep 0.05
    done
    [ -z "$busy" ] || die "$img is still open after unmounting"
    echo "$img"
    ;;
attach)
    [ $# -ge 2 ] || die "usage: attach NAME"
    name="$2" dir="$root/$2" img="$root/$2.img"
    [ -f "$img" ] || die "no image for $name"
    mountpoint -q "$dir" && die "$name is mounted already"
    if [ -f "$root/$name.loop" ]; then
        mount "$(cat "$root/$name.loop")" "$dir" || die "cannot mount the image of $name on $dir"
    else
        ntfs-3g "$img" "$dir" || die "cannot mount NTFS image on $dir"
    fi
    ;;
*)
    die "usage: volume.sh mount|unmount|detach|attach ..."
    ;;
esac
