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

release() {
    wineserver -k 2>/dev/null || true
    "$harness/volume.sh" unmount "$name" "$letter" >/dev/null 2>&1 || true
    rm -f "$out"
}
trap release EXIT
"$harness/wine-prefix.sh"
