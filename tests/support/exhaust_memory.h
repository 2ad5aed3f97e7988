// Leaves the process without memory: every free block of address space is
// reserved, then the heap's remaining room is taken. Only for the children of
// death tests, which end right after; nothing is given back.
#ifndef VANTA_TESTS_EXHAUST_MEMORY_H
#define VANTA_TESTS_EXHAUST_MEMORY_H

#include <windows.h>
#include <stdlib.h>

inline void exhaust_memory()
{
    for (SIZE_T size = (SIZE_T)1 << 30; size >= 0x10000; )
        if (!VirtualAlloc(NULL, size, MEM_RESERVE, PAGE_NOACCESS))
            size /= 2;
    // the blocks must look used, or the compiler drops the calls as dead
    static void *volatile kept;
    for (size_t size = (size_t)1 << 20; size > 0; )
        if (!(kept = malloc(size)))
            size /= 2;
}

#endif
