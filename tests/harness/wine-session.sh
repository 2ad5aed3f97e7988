#!/bin/bash
# start: keeps one Wine session alive in each slot's prefix for the whole
#        ctest run, so that no test waits for Wine's background services to
#        let go of its output pipe.
# stop:  ends the sessions (and with them every Wine process of the prefixes).
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/wine-env.sh"

case "${1:-}" in
start)
    keepalive="$2"
    # the strict build's refusals are counted for this run alone
    rm -f "$VANTA_BUILD_DIR"/strict_refusals*.log
    for slot in $VANTA_SLOTS; do
        export WINEPREFIX="$(slot_prefix "$slot")"
        wineserver -k 2>/dev/null
        wineserver -w 2>/dev/null
        # The session must not hold any descriptor of ours: ctest waits for
        # every copy of a test's output pipe to close before it goes on.
        # Wine's services start with the first process, so a second,
        # waited-for process makes sure they are up (and detached) before
        # the tests begin.
        (
            for fd in /proc/$BASHPID/fd/*; do
                fd="${fd##*/}"
                [ "$fd" -gt 2 ] && eval "exec $fd>&-"
            done
            exec </dev/null >/dev/null 2>&1
            setsid wine "$keepalive" &
            wine cmd /c exit
        )
    done
    slots=$(echo $VANTA_SLOTS | wc -w)
    for _ in $(seq 1 100); do
        [ "$(pgrep -c -f -- "$keepalive")" -ge "$slots" ] && exit 0
        sleep 0.1
    done
    echo "wine-session: a keep-alive process did not start" >&2
    exit 1
    ;;
stop)
    # a gate a dead test left holding a request lets it go: a process
    # waiting in it can't be ended
    for gate in "$VANTA_BUILD_DIR"/volumes/*.gate; do
        [ -f "$gate" ] && : >"$gate"
    done
    for slot in $VANTA_SLOTS; do
        WINEPREFIX="$(slot_prefix "$slot")" wineserver -k 2>/dev/null
        WINEPREFIX="$(slot_prefix "$slot")" wineserver -w 2>/dev/null
    done
    exit 0
    ;;
*)
    echo "usage: wine-session.sh start KEEPALIVE_EXE | stop" >&2
    exit 2
    ;;
esac
