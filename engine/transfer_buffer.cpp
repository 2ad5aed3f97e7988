// The run's transfer buffer: one block that every write and read goes through.
#include "engine/wipe_engine.h"
#include "support/messages.h"

DWORD alloc_transfer_buffer(void)
{
    // a fresh block each time, so it always starts out zero-filled
    release_transfer_buffer();
    // VirtualAlloc gives whole pages, zeroed: aligned for unbuffered I/O
    void *block = VirtualAlloc(NULL, TRANSFER_SIZE, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!block)
        return GetLastError();
    run_context.transfer_buffer = (unsigned char *)block;
    return 0;
}

void release_transfer_buffer(void)
{
    if (!run_context.transfer_buffer)
        return;
    VirtualFree(run_context.transfer_buffer, 0, MEM_RELEASE);
    run_context.transfer_buffer = NULL;
}
