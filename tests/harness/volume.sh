#!/bin/bash
# Real small volumes for the test bench, mapped to Wine drive letters.
#
#   volume.sh mount NAME KIND SIZE LETTER [OPTION]
#       KIND tmpfs  SIZE as mount understands it (24m, 1536m); OPTION more
#                   mount options (nr_inodes=2000)
#       KIND ext4   SIZE for truncate; OPTION is PERCENT[,bare][,sync][,4k]: the
#                   reserved-blocks percentage for root (default 0); with
#                   ",bare" ext4's hidden metadata reserve (2% of the blocks,
#                   at most 4096 clusters, kept from every writer, root
#                   included) is switched off after every mount, attach
#                   included, and one line tells how many bytes it held;
#                   with ",sync" it is mounted -o sync (see below); with ",4k"
#                   its blocks are 4096 bytes (a small volume's are 1024),
#                   as a disk of 4096-byte sectors needs; with ",ram" its
#                   image lives on a tmpfs of its own, so that a blkio
#                   throttle alone sets the disk's speed (benches)
#       KIND ntfs   SIZE for truncate
#       KIND exfat  SIZE for truncate; exfat-fuse on a loop device (Wine 8
#                   still reports such a drive as NTFS)
#       KIND btrfs  SIZE for truncate; OPTION mount options
#                   (compress-force=zstd,nodiscard), used again by attach
#       KIND fat    a tmpfs of SIZE that Wine takes for FAT: the drive's device
#                   is a loop device holding a FAT image, files go to the tmpfs
#       KIND failing  a disk that starts failing: a tmpfs of SIZE behind a FUSE
#                   pass-through (fuse_disk.py) whose writes past byte OPTION
#                   (8m) of a file fail with EIO
#       KIND gated  a tmpfs of SIZE (OPTION: more of its mount options) behind
#                   the same pass-through, which holds a request where a test
#                   wants the program to be: the test writes
#                   $VANTA_BUILD_DIR/volumes/NAME.gate (see fuse_disk.py)
#   volume.sh unmount NAME LETTER
#   volume.sh detach NAME
#       unmounts an ntfs, ext4, exfat or btrfs volume but keeps its image (and
#       its loop device), so that the raw bytes can be read; prints the
#       image's path. The drive letter is unmapped until attach.
#   volume.sh attach NAME [MOUNT_OPTIONS]
#       mounts the kept image again and maps its drive letter again. A btrfs
#       volume gets the options it was made with, or MOUNT_OPTIONS for this
#       mount only (nodiscard: no compression).
#
# Write-through: vanta opens its work files with FILE_FLAG_WRITE_THROUGH, and
# on Windows every write has reached the disk when it returns. Wine does not
# pass the flag on, so on a page-cached file system (ext4, btrfs on a loop
# device) the last dirty pages of a work file can be dropped unwritten when
# the file is deleted, and a residue proof would pass or fail by timing
# (measured on a 96 MiB ext4 image: one run in three left 110 markers of
# deleted files; mounted -o sync, none in every run). So the proof volumes
# are mounted sync, which is what write-through means. FUSE volumes (ntfs-3g,
# exfat-fuse) write to their image as they go.
#
# A drive letter is only ever mapped to a directory that `mountpoint` confirms:
# a failed mount leaves a plain directory on this machine's own disk, and a
# fill there fills that disk.
#
# Everything lives under $VANTA_BUILD_DIR/volumes. Mounting needs root; a
# bench that cannot mount fails here rather than skipping its tests.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/wine-env.sh"

root="$VANTA_BUILD_DIR/volumes"
dosdevices="$WINEPREFIX/dosdevices"

# A drive is mapped in every slot's prefix alike.
unmap_drive() {  # LETTER [::]
    local slot
    for slot in $VANTA_SLOTS; do
        rm -f "$(slot_prefix "$slot")/dosdevices/$1:" ${2:+"$(slot_prefix "$slot")/dosdevices/$1::"}
    done
}

die() { echo "volume.sh: $*" >&2; exit 1; }

# Waits until no process has the image or its loop device open: ntfs-3g and
# exfat-fuse write their last blocks after the unmount returns.
wait_closed() {  # IMAGE [LOOP]
    local real busy
    real="$(realpath "$1")"
    for _ in $(seq 1 200); do
        busy="$(find /proc/[0-9]*/fd \( -lname "$real" -o -lname "${2:-$real}" \) -print -quit 2>/dev/null || true)"
        [ -z "$busy" ] && return 0
        sleep 0.05
    done
    return 1
}

release() {
    local name="$1" letter="$2"
    local dir="$root/$name" state="$root/$name.loop"
    unmap_drive "$letter" ::
    if mountpoint -q "$dir" 2>/dev/null; then
        umount "$dir" 2>/dev/null || umount -l "$dir" 2>/dev/null || true
    fi
    if [ -f "$state" ]; then
        wait_closed "$root/$name.img" "$(cat "$state")" || true
        losetup -d "$(cat "$state")" 2>/dev/null || true
        rm -f "$state"
    fi
    # a failing disk's files, or an image kept in memory, after its loop device
    if mountpoint -q "$dir.backing" 2>/dev/null; then
        umount "$dir.backing" 2>/dev/null || umount -l "$dir.backing" 2>/dev/null || true
    fi
    rmdir "$dir.backing" 2>/dev/null || true
    rm -f "$root/$name.img" "$root/$name.state" "$root/$name.gate" "$root/$name.gate.state"
    rmdir "$dir" 2>/dev/null || true
}

# The one place that maps a drive letter (and its device, when there is one).
map_drive() {  # DIR LETTER [DEVICE]
    mountpoint -q "$1" ||
        die "REFUSING to map ${2^^}: to $1: it is not a mounted volume (did the mount fail?);" \
            "a fill there would fill this machine's own disk"
    # Wine needs the device as well to answer volume queries for a loop mount
    local slot devices
    for slot in $VANTA_SLOTS; do
        devices="$(slot_prefix "$slot")/dosdevices"
        [ -d "$devices" ] || continue
        [ -z "${3:-}" ] || ln -sfn "$3" "$devices/$2::"
        ln -sfn "$1" "$devices/$2:"
    done
}

# Writes 0 to ext4's hidden metadata reserve (the kernel sets it again at every
# mount; no file can reach the free blocks it holds back) and says what it held.
bare_ext4() {  # NAME LOOP
    local knob="/sys/fs/ext4/${2##*/}/reserved_clusters" clusters cluster
    [ -w "$knob" ] || die "$1: no $knob to switch the hidden reserve off"
    clusters="$(cat "$knob")"
    cluster="$(dumpe2fs -h "$2" 2>/dev/null | sed -n 's/^Cluster size: *//p')"
    [ -n "$cluster" ] || cluster="$(dumpe2fs -h "$2" 2>/dev/null | sed -n 's/^Block size: *//p')"
    [ -n "$cluster" ] || die "$1: cannot read the block size of $2"
    echo 0 >"$knob"
    [ "$(cat "$knob")" = 0 ] || die "$1: the hidden reserve did not go to 0"
    echo "volume $1: ext4's hidden metadata reserve switched off, it held $((clusters * cluster)) bytes" \
         "($clusters clusters of $cluster bytes)"
}

# Mounts the image of a volume made by `mount` (kind, letter and options come
# from its state file) and maps its drive.
mount_image() {  # NAME [BTRFS_MOUNT_OPTIONS]
    local name="$1" dir="$root/$1" img="$root/$1.img" loop="" kind letter options
    . "$root/$name.state"
    [ ! -f "$root/$name.loop" ] || loop="$(cat "$root/$name.loop")"
    [ $# -lt 2 ] || [ "$kind" = btrfs ] || die "$name: mount options are for btrfs volumes"
    case "$kind" in
    ext4)
        case ",$options," in
        *,sync,*) mount -o sync "$loop" "$dir" || die "cannot mount $loop on $dir -o sync" ;;
        *)        mount "$loop" "$dir" || die "cannot mount $loop on $dir" ;;
        esac
        ;;
    btrfs)
        mount -o "${2-$options}" "$loop" "$dir" || die "cannot mount $loop on $dir with '${2-$options}'"
        ;;
    exfat)
        mount.exfat-fuse "$loop" "$dir" >/dev/null || die "cannot mount $loop on $dir with exfat-fuse"
        ;;
    ntfs)
        ntfs-3g "$img" "$dir" || die "cannot mount NTFS image on $dir"
        ;;
    *)
        die "$name: a $kind volume has no image to mount"
        ;;
    esac
    case "$kind,$options," in ext4,bare,*|ext4,*,bare,*) bare_ext4 "$name" "$loop" ;; esac
    map_drive "$dir" "$letter" "$loop"
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
    dir="$root/$name" img="$root/$name.img" options=""
    mkdir -p "$dir"
    case "$kind" in
    ext4)  percent="${option%%,*}"; [ "$option" = "$percent" ] || options="${option#*,}" ;;
    btrfs) options="${option:-defaults}" ;;
    esac
    printf 'kind=%q letter=%q options=%q\n' "$kind" "$letter" "$options" >"$root/$name.state"
    case "$kind" in
    tmpfs)
        mount -t tmpfs -o "size=$size,mode=0777${option:+,$option}" "vanta-$name" "$dir" ||
            die "cannot mount tmpfs on $dir"
        map_drive "$dir" "$letter"
        ;;
    failing|gated)
        mkdir -p "$dir.backing"
        backing_options=""
        [ "$kind" = failing ] || backing_options="${option:+,$option}"
        mount -t tmpfs -o "size=$size,mode=0777$backing_options" "vanta-$name" "$dir.backing" ||
            die "cannot mount tmpfs on $dir.backing"
        if [ "$kind" = failing ]; then
            set -- fail "${option:-8m}"
        else
            rm -f "$root/$name.gate" "$root/$name.gate.state"
            set -- gate "$root/$name.gate"
        fi
        ( exec </dev/null >"$root/$name.log" 2>&1
          setsid /usr/bin/python3 "$here/fuse_disk.py" "$dir.backing" "$dir" "$@" & )
        for _ in $(seq 1 100); do mountpoint -q "$dir" && break; sleep 0.05; done
        mountpoint -q "$dir" || die "fuse_disk.py did not mount $dir: $(cat "$root/$name.log")"
        map_drive "$dir" "$letter"
        ;;
    fat)
        mount -t tmpfs -o "size=$size,mode=0777" "vanta-$name" "$dir" || die "cannot mount tmpfs on $dir"
        truncate -s 8m "$img"
        mkfs.vfat "$img" >/dev/null || die "mkfs.vfat failed"
        loop="$(losetup -f --show "$img")" || die "no free loop device"
        echo "$loop" > "$root/$name.loop"
        # Wine reads the file system's name from the device's boot sector
        map_drive "$dir" "$letter" "$loop"
        ;;
    ext4|ntfs|exfat|btrfs)
        if [ "$kind" = ext4 ] && [[ ",$options," == *,ram,* ]]; then
            # the image in memory: the disk's speed is then a blkio throttle's alone
            mkdir -p "$dir.backing"
            mount -t tmpfs -o "size=$size,mode=0700" "vanta-$name-image" "$dir.backing" ||
                die "cannot mount tmpfs on $dir.backing"
            ln -sfn "$dir.backing/image" "$img"
        fi
        truncate -s "$size" "$img"
        case "$kind" in
        ext4)
            block=""
            for word in ${options//,/ }; do
                case "$word" in bare|sync|ram) ;; 4k) block="-b 4096" ;; *) die "$name: unknown ext4 option '$word'" ;; esac
            done
            mkfs.ext4 -q -F -m "${percent:-0}" $block "$img" || die "mkfs.ext4 failed"
            ;;
        ntfs)  mkntfs -q -F -Q "$img" >/dev/null 2>&1 || die "mkntfs failed" ;;
        exfat) mkfs.exfat "$img" >/dev/null || die "mkfs.exfat failed" ;;
        btrfs) mkfs.btrfs -q -f "$img" >/dev/null 2>&1 || die "mkfs.btrfs failed" ;;
        esac
        if [ "$kind" != ntfs ]; then
            loop="$(losetup -f --show "$img")" || die "no free loop device"
            echo "$loop" > "$root/$name.loop"
        fi
        mount_image "$name"
        rmdir "$dir/lost+found" 2>/dev/null || true
        ;;
    *)
        die "unknown volume kind '$kind'"
        ;;
    esac
    echo "volume $name ($kind $size${option:+ $option}) mounted as ${letter^^}:"
    ;;
unmount)
    [ $# -ge 3 ] || die "usage: unmount NAME LETTER"
    release "$2" "$3"
    echo "volume $2 released"
    ;;
detach)
    [ $# -ge 2 ] || die "usage: detach NAME"
    name="$2" dir="$root/$2" img="$root/$2.img" loop=""
    [ -f "$root/$name.state" ] || die "no image for $name"
    . "$root/$name.state"
    [ ! -f "$root/$name.loop" ] || loop="$(cat "$root/$name.loop")"
    case "$kind" in ext4|ntfs|exfat|btrfs) ;; *) die "$name: a $kind volume has no image to read" ;; esac
    mountpoint -q "$dir" || die "$name is not mounted"
    # unmapped first: no Windows program may write into the bare directory
    unmap_drive "$letter"
    umount "$dir" || die "cannot unmount $dir"
    wait_closed "$img" "$loop" || die "$img is still open after unmounting"
    # the loop device stays, so its cached blocks go to the image now
    [ -z "$loop" ] || blockdev --flushbufs "$loop" || die "cannot flush $loop"
    echo "$img"
    ;;
attach)
    [ $# -ge 2 ] || die "usage: attach NAME [MOUNT_OPTIONS]"
    name="$2" dir="$root/$2"
    [ -f "$root/$name.state" ] || die "no image for $name"
    mountpoint -q "$dir" && die "$name is mounted already"
    mount_image "${@:2}"
    ;;
*)
    die "usage: volume.sh mount|unmount|detach|attach ..."
    ;;
esac
