// Leaves the process without memory; only for death-test children, which end right after.
#pragma once
#include <windows.h>
#include <stdlib.h>

inline void exhaust_memory()
{
    static void *volatile kept;   // looks used, so the allocations are not dropped
    for (size_t size = (size_t)1 << 30; size > 0;)
        if (!VirtualAlloc(NULL, size, MEM_RESERVE, PAGE_NOACCESS) && !(kept = malloc(size)))
            size /= 2;
}
