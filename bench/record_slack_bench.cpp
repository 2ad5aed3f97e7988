// The NTFS record-slack pass on a full volume: fills the volume of the folder
// named on the command line with numbered work files, as the fill pass leaves
// them, then times the pass and prints what it did.
//
//   record_slack_bench FOLDER plain|nomft [DELETED [noflush]]
//
// DELETED small files (300 bytes, kept inside their file records) are
// written beside the folder and deleted first, so that the pass finds that
// many free records holding old bytes. The pass's flushes are counted and
// timed; with "noflush" none of them reaches the system, to show beside a run
// without it what they cost.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "bench_run.h"

// bench/flush_count.cpp
void count_flushes(int skip);
unsigned long long flushes_made(void);
double flush_seconds(void);

static int leave_deleted_files(const char *folder, int count)
{
    char path[MAX_PATH];
    static char bytes[300];
    memset(bytes, 'o', sizeof bytes);
    snprintf(path, sizeof path, "%s.old", folder);
    CreateDirectoryA(path, NULL);
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < count; ++i) {
            snprintf(path, sizeof path, "%s.old\\%06d", folder, i);
            if (pass == 1) {
                DeleteFileA(path);
                continue;
            }
            HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
            DWORD done = 0;
            if (file == INVALID_HANDLE_VALUE)
                return 0;
            WriteFile(file, bytes, sizeof bytes, &done, NULL);
            CloseHandle(file);
        }
    }
    snprintf(path, sizeof path, "%s.old", folder);
    RemoveDirectoryA(path);
    return 1;
}

// Work files 1, 2, … of up to 1 GiB until the volume refuses 512 bytes, as
// the fill pass leaves them. Returns the last file's number.
static unsigned fill_volume(const char *folder, unsigned long long *bytes)
{
    unsigned char *buffer = run_context.transfer_buffer;
    char path[MAX_PATH];
    unsigned number = 0;
    *bytes = 0;
    for (int full = 0; !full;) {
        format_work_file_path(path, folder, ++number);
        HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                                  CREATE_ALWAYS, FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING,
                                  NULL);
        if (file == INVALID_HANDLE_VALUE)
            break;
        unsigned long long in_file = 0;
        DWORD want = TRANSFER_SIZE;
        while (want >= MIN_WRITE_BYTES && in_file < MAX_FILE_BYTES) {
            DWORD done = 0;
            WriteFile(file, buffer, want, &done, NULL);
            in_file += done;
            if (done != want) {
                want /= 2;
                full = 1;
            }
        }
        CloseHandle(file);
        *bytes += in_file;
    }
    return number;
}

// What the probe's one-byte steps cost on their own: trial writes from 1023
// down at the start of one file, until one is taken whole.
static void time_trial_writes(const char *folder)
{
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%s\\trial", folder);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                              FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    double start = bench_seconds();
    DWORD trial = 1023, writes = 0, done = 0;
    for (; trial > 1; --trial, ++writes) {
        SetFilePointer(file, 0, NULL, FILE_BEGIN);
        done = 0;
        WriteFile(file, run_context.transfer_buffer, trial, &done, NULL);
        if (done == trial)
            break;
    }
    double seconds = bench_seconds() - start;
    CloseHandle(file);
    DeleteFileA(path);
    printf("trial writes %lu, taken at %lu bytes, %.3f s (%.3f ms each)\n", writes + 1,
           trial, seconds, writes ? seconds * 1000 / (writes + 1) : 0.0);
}

static unsigned count_files(const char *folder)
{
    char pattern[MAX_PATH];
    snprintf(pattern, sizeof pattern, "%s\\*", folder);
    WIN32_FIND_DATAA found;
    unsigned count = 0;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            ++count;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return count;
}

int main(int argc, char **argv)
{
    if (argc < 3 || argc > 5 || (argc == 5 && strcmp(argv[4], "noflush") != 0)) {
        fprintf(stderr, "usage: record_slack_bench FOLDER plain|nomft [DELETED [noflush]]\n");
        return 2;
    }
    const char *folder = argv[1];
    int deleted = argc >= 4 ? atoi(argv[3]) : 0;
    int noflush = argc == 5;
    if (bench_start("record_slack_bench") != 0)
        return 1;
    memset(run_context.transfer_buffer, 0xA5, TRANSFER_SIZE);

    if (deleted && !leave_deleted_files(folder, deleted)) {
        fprintf(stderr, "record_slack_bench: cannot write the deleted files\n");
        return 1;
    }
    CreateDirectoryA(folder, NULL);
    unsigned long long bytes;
    double start = bench_seconds();
    unsigned last = fill_volume(folder, &bytes);
    printf("fill %llu bytes in %u files, %.3f s\n", bytes, last, bench_seconds() - start);
    if (bench_vouch(folder, 1, last))
        return 1;
    time_trial_writes(folder);

    nomft_mode = strcmp(argv[2], "nomft") == 0;
    count_flushes(noflush);
    start = bench_seconds();
    int result = fill_record_slack(last, folder);
    double seconds = bench_seconds() - start;
    unsigned files = count_files(folder);
    unsigned small = files > last ? files - last : 0;
    printf("pass %s, %d deleted small files before: result %d, %u small files, %.3f s%s\n",
           argv[2], deleted, result, small, seconds, noflush ? " (flushes left out)" : "");
    // the small files', the probe file's and the large files' own records'
    double flush_ms = flush_seconds() * 1000;
    printf("flushes: %llu, %.1f ms%s; %.3f ms a small file, %.1f%% of the pass\n", flushes_made(), flush_ms,
           noflush ? " (answered without the system)" : "", small ? flush_ms / small : 0.0,
           seconds > 0 ? flush_ms / 10 / seconds : 0.0);
    release_transfer_buffer();
    return 0;
}
