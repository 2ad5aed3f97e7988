// One fill pass over the volume of the folder named on the command line, timed:
// prints the seconds, the bytes the pass wrote and its result, then deletes
// the work files. The word is the step's pattern word ("-" for none).
//
//   pass_bench FOLDER WORD
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include "bench_run.h"

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: pass_bench FOLDER WORD|-\n");
        return 2;
    }
    const char *folder = argv[1], *word = strcmp(argv[2], "-") ? argv[2] : NULL;
    CreateDirectoryA(folder, NULL);
    if (bench_start("pass_bench") != 0)
        return 1;
    load_texts(GetModuleHandleA(NULL));
    const char *args[3] = { "vanta", folder, word };
    double start = bench_seconds();
    int result = erase_free_space(word ? 3 : 2, args);
    double seconds = bench_seconds() - start;
    printf("result %d\nseconds %.3f\nwritten %llu\n", result, seconds, pass_bytes_written);

    char pattern[MAX_PATH], path[MAX_PATH];
    snprintf(pattern, sizeof pattern, "%s\\*", folder);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
        snprintf(path, sizeof path, "%s\\%s", folder, found.cFileName);
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            DeleteFileA(path);
    }
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    RemoveDirectoryA(folder);
    release_transfer_buffer();
    return 0;
}
