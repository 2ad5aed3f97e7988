#!/bin/bash
# vanta.exe run by a user who is not root, on an ext4 volume with 5% of its
# blocks reserved for root (user_ext4): the free space the user can't reach
# must be named at the end of the run, not passed over. Then, on the same
# folder, a second run killed in its second pass and a third that goes on
# with /resume: with a standard user's token under the strict layer, the
# journal's key must be the account's own to read and write on every run
# after the first (an ACE for CREATOR OWNER grants nothing). The user gets a home,
# a temporary folder and a Wine prefix of its own (Wine refuses another
# user's), with the volume as drive S: and writable for everyone.
#   other_user.sh PROGRAM_TEST_EXE VANTA_EXE   (ctest runs it as root, with the bench up)
set -uo pipefail
harness="$(cd "$(dirname "${BASH_SOURCE[0]}")/../harness" && pwd)"
. "$harness/wine-env.sh"
program_test="$1" vanta="$2"
user=vanta-tester home="$VANTA_BUILD_DIR/user-home"
prefix="$home/prefix" volume="$VANTA_BUILD_DIR/volumes/user_ext4"

die() { echo "other_user.sh: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || die "needs root to run a program as another user"
mountpoint -q "$volume" || die "the volume user_ext4 is not mounted"
id -u "$user" >/dev/null 2>&1 ||
    useradd --system --no-create-home --home-dir "$home" --shell /usr/sbin/nologin "$user" ||
    die "cannot create the user $user"
mkdir -p "$home/tmp" && chown -R "$user" "$home" || die "cannot make $home"

as_user() {
    runuser -u "$user" -- env -i PATH="$PATH" HOME="$home" TMPDIR="$home/tmp" WINEPREFIX="$prefix" \
        WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=ja_JP.UTF-8 \
        VANTA_EXE="$vanta" VANTA_RESERVE_ROOT='S:\' VANTA_STRICT_TOKEN=standard \
        VANTA_STRICT_LOG="Z:$home/tmp/strict_refusals.log" "$@"
}

if [ ! -f "$prefix/.vanta-ready" ]; then
    rm -rf "$prefix"
    as_user wineboot -i >/dev/null 2>&1 || die "cannot make the user's Wine prefix"
    as_user wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    as_user wineserver -w
    touch "$prefix/.vanta-ready"
fi
chmod 1777 "$volume"
ln -sfn "$volume" "$prefix/dosdevices/s:"
ln -sfn "$(cat "$VANTA_BUILD_DIR/volumes/user_ext4.loop")" "$prefix/dosdevices/s::"
as_user wineserver -k 2>/dev/null   # the drives are read again
read -r bfree bavail bsize <<<"$(stat -f -c '%f %a %S' "$volume")"
echo "    Linux counts $(( (bfree - bavail) * bsize )) free bytes of the volume that $user can't write"
rm -f "$home/tmp/strict_refusals.log"
# as on the account's first run: no journal key of an earlier one
as_user wine reg delete 'HKCU\Software\vanta' /f >/dev/null 2>&1
as_user wine reg delete 'HKCU\Software\vanta-strict-layer' /f >/dev/null 2>&1
cd "$home/tmp" || die "cannot enter $home/tmp"
as_user wine "$program_test" --child reserve
status=$?
if [ $status = 0 ]; then
    as_user env VANTA_PROOF_FOLDER='S:\' VANTA_PROOF_KILL=1 wine "$program_test" --child erase-resumed
    status=$?
fi
# what Windows would have refused the user's runs goes with the rest
if [ -s "$home/tmp/strict_refusals.log" ]; then
    echo "Windows would refuse these calls of the user's vanta.exe:"
    cat "$home/tmp/strict_refusals.log"
    [ -n "${VANTA_STRICT_LOG:-}" ] && cat "$home/tmp/strict_refusals.log" >>"${VANTA_STRICT_LOG#Z:}"
    status=1
fi
as_user wineserver -k 2>/dev/null
rm -rf "${volume:?}/"* 2>/dev/null
[ $status = 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit $status
