#!/bin/bash
# The dialog during a run, for docs/vanta-dialog.png: mounts a 1 GiB NTFS
# image (ntfs-3g) as drive R: of make run's Wine prefix, starts vanta.exe on
# it under Xvfb with method 2 (zeros, then every byte read back), presses
# Start, and takes the picture once the run has gone on long enough to show
# its time left. Releases everything afterwards. VANTA_LC_ALL=en_US.UTF-8
# takes it under code page 1252, where vanta speaks English
# (docs/vanta-dialog-en.png).
#
#   scripts/screenshot.sh BUILD_DIR [OUTPUT.png]     (as root)
set -euo pipefail
build="$(cd "${1:?usage: screenshot.sh BUILD_DIR [OUTPUT.png]}" && pwd)"
shot="${2:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/docs/vanta-dialog.png}"
exe="$build/ui/vanta.exe"
[ -f "$exe" ] || { echo "screenshot: $exe is not built" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "screenshot: mounting the volume needs root" >&2; exit 1; }

export WINEPREFIX="$build/wineprefix-run" WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL="${VANTA_LC_ALL:-ja_JP.UTF-8}"
if [ ! -f "$WINEPREFIX/.vanta-run-ready" ]; then
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.vanta-run-ready"
fi

volume="$build/volumes/screenshot" drive="$WINEPREFIX/dosdevices/r:"
number=99
while [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; do number=$((number + 1)); done
export DISPLAY=":$number"
finish() {
    wineserver -k 2>/dev/null || true
    [ -z "${xvfb:-}" ] || { kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; } || true
    rm -f "$drive"
    mountpoint -q "$volume" && umount "$volume"
    rmdir "$volume" 2>/dev/null || true
    rm -f "$volume.img"
}
trap finish EXIT
mkdir -p "$volume"
truncate -s 1g "$volume.img"
mkntfs -q -F -Q "$volume.img" >/dev/null 2>&1
ntfs-3g "$volume.img" "$volume"
# never a drive on a directory of the machine's own disk
mountpoint -q "$volume" || { echo "screenshot: the volume did not mount" >&2; exit 1; }
ln -sfn "$volume" "$drive"

Xvfb "$DISPLAY" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 1 100); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done
wineserver -k 2>/dev/null || true
wine "$exe" 'R:\' >/dev/null 2>&1 &
window="$(timeout 60 xdotool search --sync --name '^vanta$' | head -1)"
sleep 2
# method 2, then Start
xdotool windowfocus --sync "$window"
for _ in 1 2; do xdotool key Down; sleep 0.2; done
xdotool key alt+s
sleep 14    # the time left shows after ten seconds of a run
import -window "$window" "$shot"
echo "screenshot: $shot"
