#!/bin/bash
# The engine is built for any i686: only functions whose names say sse2 or
# avx2 may hold SSE2 or AVX2 code, and there must be some of each.
#   instruction_sets.sh OBJDUMP OBJECT...
set -euo pipefail
objdump="$1"; shift
"$objdump" -d --no-show-raw-insn "$@" | awk '
    /^[0-9a-f]+ <.*>:$/ { fn = $2; next }
    /\t/ {
        line = $0
        sub(/^[^\t]*\t/, "", line)
        split(line, part, /[ \t]+/)
        vex = (part[1] ~ /^v/ && part[1] != "verr" && part[1] != "verw")
        if (fn ~ /avx2/) { avx2 += (line ~ /%ymm/); next }
        if (vex || line ~ /%ymm|%zmm/) { print "AVX code outside an avx2 function: " fn ": " line; bad++ }
        else if (line ~ /%xmm/ && fn !~ /sse2/) { print "SSE code outside an sse2 function: " fn ": " line; bad++ }
        else sse2 += (line ~ /%xmm/)
    }
    END {
        if (!sse2 || !avx2) { print "no SSE2 or no AVX2 code found: the check would prove nothing"; bad++ }
        if (bad) exit 1
        printf "SSE2 instructions: %d, AVX2 instructions: %d, all inside their own functions\n", sse2, avx2
    }'
