// The flushes a pass makes, counted and timed: the benches put this in front
// of the table's FlushFileBuffers before they run a pass. With skip set, the
// flush is answered TRUE without reaching the system, so that a bench can show
// the same pass without its flushes beside the pass as it is.
#include <windows.h>
#include "support/system_calls.h"

static decltype(&::FlushFileBuffers) flush_through;
static int flush_skipped;
static unsigned long long flush_count;
static LONGLONG flush_ticks;

static BOOL WINAPI counted_flush(HANDLE file)
{
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    BOOL done = flush_skipped ? TRUE : flush_through(file);
    DWORD code = GetLastError();
    QueryPerformanceCounter(&end);
    ++flush_count;
    flush_ticks += end.QuadPart - start.QuadPart;
    SetLastError(code);
    return done;
}

// Counts and times every flush from now on (in front of whatever the table
// holds, the tests' strict layer included); skip: none reaches the system.
void count_flushes(int skip)
{
    if (!flush_through) {
        flush_through = win.FlushFileBuffers;
        win.FlushFileBuffers = counted_flush;
    }
    flush_skipped = skip;
}

// The flushes made since count_flushes, and the seconds spent in them.
unsigned long long flushes_made(void)
{
    return flush_count;
}

double flush_seconds(void)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return (double)flush_ticks / (double)frequency.QuadPart;
}
