// What damaged sectors cost the verify: a work file of 64 MiB in FOLDER, read
// back through the engine's file calls, with reads over 1 and then 100
// damaged sectors failing as damaged media fails them (data error). The
// question is answered Yes. Prints, for each: the questions asked, the reads
// made and how many of them failed, and the time; and what the reads would
// cost on a failing disk where every failed read takes a second. Asserts
// nothing about the figures.
//
//   damaged_bench FOLDER
#include <set>
#include "bench_run.h"

static const DWORD FILE_BYTES = 64u << 20, SECTOR = 512;
static std::set<DWORD> damaged;
static unsigned reads, failed_reads, questions;
static ReadFileProc plain_read;

static BOOL WINAPI damaged_media(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED overlapped)
{
    DWORD at = SetFilePointer(file, 0, NULL, FILE_CURRENT);
    ++reads;
    auto hit = damaged.lower_bound(at);
    if (hit != damaged.end() && *hit - at < size)
        return ++failed_reads, *got = 0, SetLastError(ERROR_CRC), FALSE;
    return plain_read(file, buffer, size, got, overlapped);
}

static int WINAPI answer_yes(HWND, LPCSTR, LPCSTR, UINT style)
{
    ++questions;
    return (style & 0xF) == MB_YESNO ? IDYES : IDOK;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: damaged_bench FOLDER\n");
        return 2;
    }
    const char *folder = argv[1];
    char path[MAX_PATH];
    if (bench_start("damaged_bench"))
        return 1;
    load_texts(GetModuleHandleA(NULL));
    message_box_proc = answer_yes;
    plain_read = file_calls.read, file_calls.read = damaged_media;
    CreateDirectoryA(folder, NULL);
    format_work_file_path(path, folder, 1);
    for (unsigned count : {1u, 100u}) {
        memset(run_context.transfer_buffer, 0x55, TRANSFER_SIZE);
        HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        DWORD written = 0;
        for (DWORD done = 0; done < FILE_BYTES; done += TRANSFER_SIZE)
            WriteFile(file, run_context.transfer_buffer, TRANSFER_SIZE, &written, NULL);
        CloseHandle(file);
        if (bench_vouch(folder, 1, 1))
            return 1;
        // spread over the file, a little off the transfers' starts
        damaged.clear();
        for (unsigned i = 0; i < count; ++i)
            damaged.insert((DWORD)((unsigned long long)FILE_BYTES / count * i + 7 * SECTOR) & ~(SECTOR - 1));
        reads = failed_reads = questions = 0;
        run_totals = RunTotals();
        static volatile LONG never;
        double start = bench_seconds();
        verify_step(run_context.owner, 146, 147, &never, "0x55", folder);
        double taken = bench_seconds() - start;
        printf("%3u damaged sectors in a 64 MiB file: %u question(s), %u reads (%u failed), %u counted, %.3f s;"
               " with a failed read taking 1 s: %u s\n",
               count, questions, reads, failed_reads, run_totals.damaged_sectors, taken, failed_reads);
        DeleteFileA(path);
    }
    RemoveDirectoryA(folder);
    return 0;
}
