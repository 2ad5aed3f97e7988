// What every bench program sets up: the run's state as a step would have it,
// boxes printed instead of shown, and a clock.
#ifndef VANTA_BENCH_BENCH_RUN_H
#define VANTA_BENCH_BENCH_RUN_H

#include <windows.h>
#include <stdio.h>
#include "engine/wipe_engine.h"
#include "support/messages.h"

static const char *bench_name = "bench";

// No one is there to press OK: boxes go to the error stream.
static int WINAPI bench_print_box(HWND, LPCSTR text, LPCSTR, UINT)
{
    fprintf(stderr, "%s: %s\n", bench_name, text);
    return IDOK;
}

// Seconds on the performance counter.
static double bench_seconds(void)
{
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return (double)counter.QuadPart / (double)frequency.QuadPart;
}

// The transfer buffer, an abort flag nobody sets and a status box (control
// 146) for the passes' texts. 0, or 1 with the reason printed.
static int bench_start(const char *name)
{
    static volatile LONG abort_flag;
    bench_name = name;
    message_box_proc = bench_print_box;
    DWORD failed = alloc_transfer_buffer();
    if (failed) {
        fprintf(stderr, "%s: no transfer buffer (error %lu)\n", name, failed);
        return 1;
    }
    run_context.abort_flag = &abort_flag;
    run_context.owner = CreateWindowA("STATIC", "", WS_POPUP, 0, 0, 0, 0, NULL, NULL, NULL, NULL);
    run_context.status_id = 146;
    CreateWindowA("EDIT", "", WS_CHILD, 0, 0, 0, 0, run_context.owner, (HMENU)146, NULL, NULL);
    return 0;
}

// Work files first to last of folder, written by the bench, counted as the
// run's (as a run's journal vouches for what it made): the passes read, cut
// and delete only the run's files. 0, or 1 with the reason printed.
inline int bench_vouch(const char *folder, unsigned first, unsigned last)
{
    int held = begin_pass_hold(folder);
    DWORD failed = held < 0 ? ERROR_PATH_NOT_FOUND : 0;
    for (unsigned number = first; !failed && number <= last; ++number) {
        char name[16];
        work_file_name(number, name);
        failed = vouch_for_work_file(name);
    }
    end_pass_hold(held);
    if (failed)
        fprintf(stderr, "%s: the work files of %s can't be counted as the run's (error %lu)\n", bench_name, folder, failed);
    return failed != 0;
}

#endif
