#!/bin/bash
# The calls the strict build of vanta.exe was refused during the run of the
# tests, in every slot's log: none, or each is named and the check fails.
found=0
for log in "$@"; do
    if [ -s "$log" ]; then
        [ $found = 1 ] || echo "Windows would refuse these calls of vanta.exe:"
        tr -d '\r' < "$log" | sort | uniq -c
        found=1
    fi
done
[ $found = 0 ] || exit 1
echo "no call of vanta.exe that Windows would refuse"
