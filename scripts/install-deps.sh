#!/bin/bash
# Installs everything the build, the tests and `make run` need on Debian 12.
# Idempotent: each piece is skipped when it is already present.
set -euo pipefail

PKGS="g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix mingw-w64-i686-dev \
cmake make googletest wine wine32:i386 xvfb xdotool locales fonts-ipafont-gothic \
ntfs-3g dosfstools e2fsprogs exfatprogs exfat-fuse btrfs-progs python3-fusepy imagemagick util-linux procps passwd \
testdisk foremost sleuthkit"

if [ "$(id -u)" != 0 ]; then
    SUDO=sudo
else
    SUDO=
fi

need_i386=1
for a in $(dpkg --print-foreign-architectures); do
    [ "$a" = i386 ] && need_i386=0
done

missing=""
for p in $PKGS; do
    if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
        missing="$missing $p"
    fi
done

if [ $need_i386 = 1 ]; then
    echo "install-deps: adding the i386 architecture"
    $SUDO dpkg --add-architecture i386
    missing="$missing "
fi

if [ -n "$missing" ]; then
    echo "install-deps: installing$missing"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

# ja_JP.UTF-8 gives Wine the Japanese ANSI code page (932), en_US.UTF-8 the
# Western one (1252) that the English tests run under.
missing_locales=""
for l in ja_JP en_US; do
    if ! locale -a 2>/dev/null | grep -qi "^$l\.utf-\?8$"; then
        missing_locales="$missing_locales $l.UTF-8"
        if ! grep -q "^$l.UTF-8 UTF-8" /etc/locale.gen 2>/dev/null; then
            echo "$l.UTF-8 UTF-8" | $SUDO tee -a /etc/locale.gen >/dev/null
        fi
    fi
done
if [ -n "$missing_locales" ]; then
    echo "install-deps: generating the locales$missing_locales"
    $SUDO locale-gen >/dev/null
fi
exit 0
