#!/bin/bash
# The calls the strict build of vanta.exe was refused during the run of the
# tests: none, or each is named and the check fails.
log=$1
if [ -s "$log" ]; then
    echo "Windows would refuse these calls of vanta.exe:"
    tr -d '\r' < "$log" | sort | uniq -c
    exit 1
fi
echo "no call of vanta.exe that Windows would refuse"
