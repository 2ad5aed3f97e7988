#!/bin/bash
# Real runs of the shipped vanta.exe (no layer inside it) under Wine, traced
# (every wineserver request, ntdll's file calls, relay for the calls ntdll does
# not trace), and the traces held against the rules Windows checks and Wine
# does not (trace_check.py beside this script):
#   1. method 1 (one random pass) on a small NTFS volume (ntfs-3g): the fill,
#      then the record-slack pass, the journal's moves, the deletion;
#   2. method 3 (three passes, the last verified), stopped by the session's
#      end (wineboot --end-session) once its journal names step 2 or later;
#   3. the same method with /resume, from the step that journal names.
#
#   trace_runs.sh VANTA_EXE WORK_DIR
#       VANTA_EXE  the program as built (its vanta.ini and vantaN.run beside it)
#       WORK_DIR   the traces, the runs' output and the volume's image go here
#   Environment (all optional):
#       TRACE_PREFIX  the Wine prefix (default WORK_DIR/prefix; made when missing,
#                     32-bit, no display driver). Give it one of its own: relay's
#                     RelayInclude is set in its registry
#       TRACE_MOUNT   where the volume is mounted (default WORK_DIR/volume)
#       TRACE_LETTER  its drive letter in the prefix (default t)
#       TRACE_SIZE    the volume's size (default 48m)
#
# Needs root (ntfs-3g). Exit code: trace_check.py's (0: no call Windows would
# refuse; 1: some; 2: nothing could be checked), or 3 when a run did not do
# what it must for its trace to mean anything.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
[ $# -eq 2 ] || { echo "usage: trace_runs.sh VANTA_EXE WORK_DIR" >&2; exit 3; }
exe="$(realpath "$1")" work="$(mkdir -p "$2" && realpath "$2")"
[ -f "$exe" ] && [ -f "$(dirname "$exe")/vanta1.run" ] && [ -f "$(dirname "$exe")/vanta3.run" ] ||
    { echo "trace_runs.sh: no $exe with vanta1.run and vanta3.run beside it" >&2; exit 3; }
[ "$(id -u)" = 0 ] || { echo "trace_runs.sh: mounting the NTFS volume needs root" >&2; exit 3; }

export WINEPREFIX="${TRACE_PREFIX:-$work/prefix}" WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=ja_JP.UTF-8
mnt="${TRACE_MOUNT:-$work/volume}" letter="${TRACE_LETTER:-t}" size="${TRACE_SIZE:-48m}"
image="$work/ntfs.img" traces="$work/traces"
drive="${letter^^}:"
journal="$mnt/\$VANTA\$\$/vanta.journal"
# the wineserver traces its requests only when the process that starts it
# has +server; +file: ntdll's file calls; +pid: the process on each line;
# +loaddll: which process is vanta.exe; +relay (for RelayInclude's calls
# only): the flushes, and the status of each call
trace_debug="+server,+file,+pid,+loaddll,+relay"
relay_include="ntdll.NtFlushBuffersFile;ntdll.NtSetInformationFile;ntdll.NtQueryInformationFile;ntdll.NtQueryDirectoryFile;ntdll.NtCreateFile;ntdll.NtOpenFile"

die() { echo "trace_runs.sh: $*" >&2; exit 3; }
seconds() { awk -v from="$1" -v to="$2" 'BEGIN { printf "%.1f", to - from }'; }
# a Unix path as Wine's Z: drive names it
windows_path() { echo "Z:${1//\//\\}"; }

release() {
    WINEDEBUG=-all wineserver -k 2>/dev/null
    WINEDEBUG=-all wineserver -w 2>/dev/null
    rm -f "$WINEPREFIX/dosdevices/$letter:"
    if mountpoint -q "$mnt" 2>/dev/null; then umount "$mnt" 2>/dev/null || umount -l "$mnt"; fi
    rm -f "$image"
    rmdir "$mnt" 2>/dev/null || true
}
trap release EXIT

started="$EPOCHREALTIME"
mkdir -p "$traces"
rm -f "$traces"/*.trace "$work"/*.out "$work/report.csv"

# the prefix: made once; relay traces only the calls named
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    WINEDEBUG=-all wineboot -i >"$work/prefix.out" 2>&1 || die "cannot make the prefix $WINEPREFIX"
    WINEDEBUG=-all wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
fi
WINEDEBUG=-all wine reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /d "$relay_include" /f >/dev/null 2>&1 ||
    die "cannot set RelayInclude in $WINEPREFIX"
release

# the volume: a drive letter only for a directory that is a mounted volume
mkdir -p "$mnt"
mountpoint -q "$mnt" && die "$mnt is mounted already"
truncate -s "$size" "$image" && mkntfs -q -F -Q "$image" >/dev/null 2>&1 || die "mkntfs failed"
# with its permissions: without them every folder shows as mode 777, and a
# resumed run refuses a work folder that others may write in
ntfs-3g -o permissions "$image" "$mnt" || die "cannot mount $image on $mnt"
mountpoint -q "$mnt" || die "REFUSING to map $drive to $mnt: it is not a mounted volume"
ln -sfn "$mnt" "$WINEPREFIX/dosdevices/$letter:"
echo "volume: NTFS (ntfs-3g) $size at $mnt as $drive, $(df -B1 --output=avail "$mnt" | tail -1) bytes free"

report="$(windows_path "$work/report.csv")"
# vanta.exe in a wineserver session of its own, traced into $traces/NAME.trace
start_traced() {  # NAME SWITCHES...
    local name="$1"; shift
    WINEDEBUG=-all wineserver -k 2>/dev/null; WINEDEBUG=-all wineserver -w 2>/dev/null
    WINEDEBUG="$trace_debug" wine "$exe" "$drive\\" "$@" /start /exit /yes "/report:$report" \
        >"$traces/$name.trace" 2>&1 </dev/null &
    vanta=$!
}
end_session_traced() {  # waits for vanta.exe and the session's end; $code: its exit code
    wait "$vanta"; code=$?
    WINEDEBUG=-all wineserver -k 2>/dev/null; WINEDEBUG=-all wineserver -w 2>/dev/null
}

# 1. one random pass: the fill, then the record-slack pass (NTFS)
t="$EPOCHREALTIME"
start_traced 1-ntfs-record-slack /method:1
end_session_traced
# the record-slack pass's small files, made new (FILE_CREATE) through the held folder
made="$(grep -c 'create_file( .*create=2, .*rootdir=[0-9a-f]*[1-9a-f][0-9a-f]*,.*name=L"[0-9]\{8\}"' "$traces/1-ntfs-record-slack.trace")"
echo "run 1: method 1 on $drive, exit code $code, $made numbered files made new in the work folder" \
     "(the fill's and the record-slack pass's), $(seconds "$t" "$EPOCHREALTIME") s"
[ "$code" = 0 ] || die "run 1 must end complete (exit code 0), not $code"
# the fill of a volume this small makes one or two work files: the rest are the record-slack pass's
[ "$made" -ge 20 ] || die "run 1 made $made files: the record-slack pass did not run"
[ ! -e "$mnt/\$VANTA\$\$" ] || die "run 1 left its work folder"

# 2. three passes, stopped by the session's end once the journal names step 2 or later
t="$EPOCHREALTIME"
start_traced 2-session-end /method:3
step=""
while kill -0 "$vanta" 2>/dev/null; do
    # read from the Unix side (the run holds it unshared); the step's line is CRLF-ended
    step="$(grep -a -o '^step=[2-9]' "$journal" 2>/dev/null | head -1)"
    [ -n "$step" ] && break
    sleep 0.02
done
[ -n "$step" ] || { end_session_traced; die "run 2 ended (exit code $code) before its journal named step 2"; }
WINEDEBUG=-all wine wineboot --end-session >"$work/wineboot.out" 2>&1 </dev/null
end_session_traced
left="$(grep -a -o '^step=[0-9]*' "$journal" 2>/dev/null | head -1)"
echo "run 2: method 3, the session ended once its journal named ${step}: exit code $code, the journal left names" \
     "${left:-nothing}, $(seconds "$t" "$EPOCHREALTIME") s"
[ "$code" = 5 ] || die "run 2 must be stopped by the session's end (exit code 5), not $code: did it end first?"
[ -n "$left" ] || die "run 2 left no journal to go on from"

# 3. /resume: goes on from the journal's step
t="$EPOCHREALTIME"
start_traced 3-resume /method:3 /resume
end_session_traced
resumed="$(python3 - "$work/report.csv" <<'PY'
import csv, sys
rows = list(csv.DictReader(open(sys.argv[1], encoding="utf-8-sig", errors="replace", newline="")))
print(rows[-1].get("resumed_from_step", "") if rows else "")
PY
)"
echo "run 3: method 3 with /resume: exit code $code, went on from step ${resumed:-?}, $(seconds "$t" "$EPOCHREALTIME") s"
[ "$code" = 0 ] || die "run 3 must end complete (exit code 0), not $code"
[ "step=$resumed" = "$left" ] || die "run 3 went on from step '${resumed}', its journal named '${left#step=}'"
[ ! -e "$mnt/\$VANTA\$\$" ] || die "run 3 left its work folder"

echo "runs: $(seconds "$started" "$EPOCHREALTIME") s; traces in $traces ($(du -sh "$traces" | cut -f1))"
echo
# first, that every rule refuses a call that breaks it, on lines as Wine writes them
python3 "$here/trace_check.py" --self-test || die "trace_check.py's rules do not refuse what breaks them"
echo
# every rule these runs give calls for must have checked some
python3 "$here/trace_check.py" \
    --require query-attributes,rename-delete,disposition-delete,end-of-file,flush,list-directory,create-in-folder,synchronous,delete-pending,read-data,write-data,unbuffered \
    "$traces/1-ntfs-record-slack.trace" "$traces/2-session-end.trace" "$traces/3-resume.trace"
result=$?
echo "trace_runs.sh: $(seconds "$started" "$EPOCHREALTIME") s in all"
exit $result
