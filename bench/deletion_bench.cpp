// What a work file held open by another program costs the deletion: work
// files of 1 GiB each are written into FOLDER until GIB of them are there,
// then delete_work_files runs, with no file held, with file 1 held for a
// moment (HOLD_MS, less than the retries last), and with it held past them.
// The holder is HOLD_EXE (hold_file.exe), another Windows process. Prints one
// line per case; asserts nothing about the times.
//
//   deletion_bench FOLDER GIB HOLD_EXE HOLD_MS
#include <stdlib.h>
#include <string.h>
#include "bench_run.h"
#include "steps/step_runner.h"

static int make_work_files(const char *folder, int gib)
{
    char path[MAX_PATH];
    for (int number = 1; number <= gib; ++number) {
        format_work_file_path(path, folder, (unsigned)number);
        HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        DWORD written = 0;
        for (int i = 0; file != INVALID_HANDLE_VALUE && i < MAX_FILE_BYTES / TRANSFER_SIZE; ++i)
            if (!WriteFile(file, run_context.transfer_buffer, TRANSFER_SIZE, &written, NULL) ||
                written != TRANSFER_SIZE)
                break;
        CloseHandle(file);
        if (written != TRANSFER_SIZE) {
            fprintf(stderr, "deletion_bench: cannot write %s\n", path);
            return 1;
        }
    }
    return 0;
}

// Another process holds file 1 of folder for ms; returns once it has it.
static HANDLE hold_file_one(const char *hold_exe, const char *folder, DWORD ms)
{
    char command[MAX_PATH * 3];
    snprintf(command, sizeof command, "\"%s\" \"%s\\00000001\" %lu vanta_bench_held", hold_exe, folder, ms);
    HANDLE ready = CreateEventA(NULL, TRUE, FALSE, "vanta_bench_held");
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        CloseHandle(process.hThread), WaitForSingleObject(ready, 10000);
    CloseHandle(ready);
    return process.hProcess;
}

int main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: deletion_bench FOLDER GIB HOLD_EXE HOLD_MS\n");
        return 2;
    }
    const char *folder = argv[1], *hold_exe = argv[3];
    int gib = atoi(argv[2]);
    DWORD hold_ms = (DWORD)atoi(argv[4]);
    if (bench_start("deletion_bench"))
        return 1;
    CreateDirectoryA(folder, NULL);
    const struct { const char *name; DWORD held_for; } cases[] = {
        {"no file held", 0},
        {"file 1 held for a moment", hold_ms},
        {"file 1 held past the retries", delete_retry_ms + 3000},
    };
    for (const auto &c : cases) {
        if (make_work_files(folder, gib) || bench_vouch(folder, 1, (unsigned)gib))
            return 1;
        HANDLE holder = c.held_for ? hold_file_one(hold_exe, folder, c.held_for) : NULL;
        static volatile LONG never;
        double start = bench_seconds();
        int result = delete_work_files(run_context.owner, 146, 147, &never, folder);
        double taken = bench_seconds() - start;
        if (holder)
            WaitForSingleObject(holder, 30000), CloseHandle(holder);
        printf("%d GiB of work files, %s: deleted in %.3f s, result %d\n", gib, c.name, taken, result);
        delete_work_files(run_context.owner, 146, 147, &never, folder);
    }
    RemoveDirectoryA(folder);
    return 0;
}
