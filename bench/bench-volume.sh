# Sourced by the bench scripts: the build tree ($1), its Wine prefix and a
# bench volume that is released however the bench ends. Before sourcing, set
# bench (the script's name), name and letter (the volume's).
#
# The bench needs the build tree's Wine prefix to itself: it restarts Wine so
# that the new drive letter is seen.
build="$(cd "$1" && pwd)"
harness="$(cd "$(dirname "${BASH_SOURCE[0]}")/../tests/harness" && pwd)"
export VANTA_BUILD_DIR="$build"
. "$harness/wine-env.sh"
out="$build/volumes/$bench.out"

die() { echo "$bench: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || die "mounting the bench volume needs root"

throttle=""
release() {
    wineserver -k 2>/dev/null || true
    if [ -n "$throttle" ] && [ -d "$throttle" ]; then
        while read -r pid; do echo "$pid" > /sys/fs/cgroup/blkio/cgroup.procs 2>/dev/null || true; done < "$throttle/cgroup.procs"
        rmdir "$throttle" 2>/dev/null || true
    fi
    "$harness/volume.sh" unmount "$name" "$letter" >/dev/null 2>&1 || true
    rm -f "$out"
}
trap release EXIT

# A disk of steady speed: the bench volume's loop device throttled to
# MB_PER_S (cgroup v1 blkio), its writes and with "reads" its reads too, for
# the processes in_throttle starts (Wine's of theirs included).
throttle_disk() {  # MB_PER_S [reads]
    [ -d /sys/fs/cgroup/blkio ] || die "no cgroup v1 blkio controller to throttle the disk with"
    local device
    device="$(lsblk -dno MAJ:MIN "$(cat "$build/volumes/$name.loop")" | tr -d ' ')"
    throttle="/sys/fs/cgroup/blkio/vanta_$bench"
    mkdir -p "$throttle"
    echo "$device $(($1 * 1000000))" > "$throttle/blkio.throttle.write_bps_device"
    [ "${2:-}" != reads ] || echo "$device $(($1 * 1000000))" > "$throttle/blkio.throttle.read_bps_device"
}
in_throttle() { ( echo "$BASHPID" > "$throttle/cgroup.procs"; exec "$@" ); }
"$harness/wine-prefix.sh"
