// Another program that holds a file open, as virus scanners, indexers and
// sync clients do: read access, sharing read and write but not deletion.
//   hold_file.exe PATH MILLISECONDS EVENT [spreadsheet|indexer]
// With "spreadsheet" it holds the file as a spreadsheet holds the workbook it
// has open: read and write access, others allowed only to read. With
// "indexer" as the search indexer and scanners open a new file the moment
// it is closed: read access, sharing deletion too, so that a deletion goes
// through and the file's name stays, pending, until it lets go.
// Sets the named event EVENT once the file is open, holds it for MILLISECONDS,
// then closes it. Exit code 0, or 1 when the file could not be opened.
#include <windows.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc != 4 && !(argc == 5 && (strcmp(argv[4], "spreadsheet") == 0 || strcmp(argv[4], "indexer") == 0)))
        return 2;
    int spreadsheet = argc == 5 && strcmp(argv[4], "spreadsheet") == 0, indexer = argc == 5 && !spreadsheet;
    HANDLE file = CreateFileA(argv[1], spreadsheet ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                              spreadsheet ? FILE_SHARE_READ
                              : indexer   ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                                          : FILE_SHARE_READ | FILE_SHARE_WRITE,
                              NULL, OPEN_EXISTING, 0, NULL);
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[3]);
    if (file == INVALID_HANDLE_VALUE) {
        if (ready)
            SetEvent(ready);
        return 1;
    }
    if (ready)
        SetEvent(ready);
    Sleep((DWORD)strtoul(argv[2], NULL, 10));
    CloseHandle(file);
    return 0;
}
