#!/bin/bash
# make run: starts vanta.exe under Wine with the methods built beside it, in a
# Wine prefix of its own (the tests' prefix has no graphics driver) and with
# the Japanese ANSI code page. Without a display it starts Xvfb, takes a
# screenshot of the dialog, ends the program and says where the picture is.
#
#   scripts/run.sh BUILD_DIR [argument for vanta.exe, e.g. a folder]
set -euo pipefail
build="$(cd "${1:?usage: run.sh BUILD_DIR [folder]}" && pwd)"
shift
exe="$build/ui/vanta.exe"
[ -f "$exe" ] || { echo "run: $exe is not built" >&2; exit 1; }

export WINEPREFIX="$build/wineprefix-run"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# Japanese (code page 932); VANTA_LC_ALL=en_US.UTF-8 gives code page 1252 and English
export LC_ALL="${VANTA_LC_ALL:-ja_JP.UTF-8}"

exec 9>"$build/wineprefix-run.lock"
flock 9
if [ ! -f "$WINEPREFIX/.vanta-run-ready" ]; then
    echo "run: creating the Wine prefix $WINEPREFIX (once)"
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.vanta-run-ready"
fi
flock -u 9

if [ -n "${DISPLAY:-}" ]; then
    echo "run: starting $exe on $DISPLAY"
    exec wine "$exe" "$@"
fi

# No display: a virtual one of our own, on the first free display number.
number=99
while [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; do
    number=$((number + 1))
done
export DISPLAY=":$number"
Xvfb "$DISPLAY" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
finish() {
    wineserver -k 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
    wait "$xvfb" 2>/dev/null || true
}
trap finish EXIT
for _ in $(seq 1 100); do
    xdotool getdisplaygeometry >/dev/null 2>&1 && break
    sleep 0.1
done

echo "run: no display; starting $exe on Xvfb $DISPLAY"
wine "$exe" "$@" >/dev/null 2>&1 &
window="$(timeout 60 xdotool search --sync --name '^vanta$' | head -1)" || true
if [ -z "$window" ]; then
    echo "run: the dialog did not appear within a minute" >&2
    exit 1
fi
sleep 2   # let Wine paint the controls
shot="$build/vanta-screenshot.png"
import -window "$window" "$shot"
echo "run: screenshot of the dialog saved to $shot"
