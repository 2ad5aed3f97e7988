#!/bin/bash
# The engine is built for any i686; only functions whose names say sse2 or
# avx2 may hold SSE2 or AVX2 code, and the generator must hold both kinds.
#
#   instruction_sets.sh OBJDUMP OBJECT...
set -euo pipefail
objdump="$1"; shift
[ $# -gt 0 ] || { echo "no objects given" >&2; exit 2; }

"$objdump" -d --no-show-raw-insn "$@" | awk '
    /^[0-9a-f]+ <.*>:$/ { fn = $2; next }
    /\t/ {
        line = $0
        sub(/^[^\t]*\t/, "", line)              # drop the address
        split(line, part, /[ \t]+/)
        mnemonic = part[1]
        vex = (mnemonic ~ /^v/ && mnemonic != "verr" && mnemonic != "verw")
        wide = (line ~ /%ymm|%zmm/)
        xmm = (line ~ /%xmm/)
        if (fn ~ /avx2/) {
            if (wide) avx2_code++
            next
        }
        if (vex || wide) { print "AVX code outside an avx2 function: " fn ": " line; bad++ }
        else if (xmm && fn !~ /sse2/) { print "SSE code outside an sse2 function: " fn ": " line; bad++ }
        else if (xmm) sse2_code++
    }
    END {
        if (!sse2_code) { print "no SSE2 code found: the check would prove nothing"; bad++ }
        if (!avx2_code) { print "no AVX2 code found: the check would prove nothing"; bad++ }
        if (bad) exit 1
        printf "SSE2 instructions: %d, AVX2 instructions: %d, all inside their own functions\n", sse2_code, avx2_code
    }'
