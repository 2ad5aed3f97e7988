#!/bin/bash
# Creates the test bench's Wine prefix once (32-bit, null graphics driver so
# dialogs and message boxes work without an X server) and checks that the
# Japanese locale is there. Safe to run from parallel ctest jobs.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/wine-env.sh"

if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    echo "wine-prefix: the ja_JP.UTF-8 locale is missing (run scripts/install-deps.sh)" >&2
    exit 1
fi

mkdir -p "$VANTA_BUILD_DIR"
exec 9>"$VANTA_BUILD_DIR/wineprefix.lock"
flock 9
if [ ! -f "$WINEPREFIX/.vanta-ready-3" ]; then
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    # a crashing test must fail at once, not wait in Wine's debugger
    # (a debugger that exits at once; without one Wine starts winedbg)
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
        /v Debugger /d 'cmd /c exit' /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.vanta-ready-3"
fi
# every other slot's prefix a copy of the first, made while no server runs in it
for slot in $VANTA_SLOTS; do
    other="$(slot_prefix "$slot")"
    [ "$other" = "$WINEPREFIX" ] || [ -f "$other/.vanta-ready-3" ] && continue
    rm -rf "$other"
    cp -a "$WINEPREFIX" "$other"
done
