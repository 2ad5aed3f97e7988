// Fill throughput: runs the fill pass once on the folder named on the command
// line and prints the bytes written, the seconds taken and MB/s.
#include <windows.h>
#include <stdio.h>
#include "engine/wipe_engine.h"
#include "support/messages.h"

// No one is there to press OK: warnings go to the error stream.
static int WINAPI print_box(HWND, LPCSTR text, LPCSTR, UINT)
{
    fprintf(stderr, "fill_bench: %s\n", text);
    return IDOK;
}

static unsigned long long work_file_bytes(const char *folder)
{
    char pattern[MAX_PATH];
    snprintf(pattern, sizeof pattern, "%s\\*", folder);
    unsigned long long total = 0;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            total += ((unsigned long long)found.nFileSizeHigh << 32) | found.nFileSizeLow;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return total;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: fill_bench FOLDER\n");
        return 2;
    }
    const char *folder = argv[1];
    CreateDirectoryA(folder, NULL);
    message_box_proc = print_box;
    DWORD failed = alloc_transfer_buffer();
    if (failed) {
        fprintf(stderr, "fill_bench: no transfer buffer (error %lu)\n", failed);
        return 1;
    }
    static volatile LONG abort_flag;
    run_context.abort_flag = &abort_flag;

    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    const char *args[2] = { "vanta", folder };
    QueryPerformanceCounter(&start);
    int result = erase_free_space(2, args);
    QueryPerformanceCounter(&end);
    release_transfer_buffer();

    double seconds = (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart;
    unsigned long long bytes = work_file_bytes(folder);
    printf("result %d\n", result);
    printf("bytes %llu\n", bytes);
    printf("seconds %.3f\n", seconds);
    printf("MB/s %.1f\n", seconds > 0 ? (double)bytes / 1e6 / seconds : 0.0);
    return result;
}
