// The work folder: derived at Start, created (or an existing one taken on the
// user's word) when the run begins, removed at its end if we created it.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "ui/work_folder.h"
#include "support/messages.h"

char work_folder_path[MAX_PATH];
LONG work_folder_created;
GetFileAttributesProc work_folder_attributes = GetFileAttributesA;

int prepare_work_folder_path(HWND dialog, const char *folder, const char **text)
{
    // a separator, the eight characters of the name and the zero must fit:
    // a work folder path is never cut into another name
    if (strlen(folder) + 10 >= MAX_PATH) {
        run_context.last_error = ERROR_BUFFER_OVERFLOW;
        error_box(dialog, MB_ICONWARNING, "%s: ", folder);
        *text = program_text(IDS_CANNOT_CREATE_FOLDER);
        return 3;
    }
    char *joined = path_join(folder, WORK_FOLDER_NAME);
    snprintf(work_folder_path, sizeof work_folder_path, "%s", joined);
    free(joined);
    return 0;
}

int create_work_folder(HWND dialog, const char **text)
{
    DWORD attributes = work_folder_attributes(work_folder_path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD code = GetLastError();
        run_context.last_error = code;
        if (code == ERROR_ACCESS_DENIED || code == ERROR_NOT_READY) {
            *text = program_text(IDS_CANNOT_CREATE_FOLDER);
            return 1;
        }
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        char question[STATUS_TEXT_SIZE];
        snprintf(question, sizeof question, "%s\r\n%s\r\n%s",
                 program_text(IDS_CONTINUE_QUESTION), work_folder_path,
                 program_text(IDS_FOLDER_EXISTS));
        if (show_message_box(dialog, question, MB_YESNO | MB_ICONQUESTION) == IDYES) {
            // the user's folder: it stays after the run
            work_folder_created = 0;
            return 0;
        }
        *text = program_text(IDS_CANNOT_CREATE_FOLDER);
        return 1;
    }
    // a file of that name makes the creation fail, and the user sees why
    if (CreateDirectoryA(work_folder_path, NULL)) {
        work_folder_created = 1;
        return 0;
    }
    run_context.last_error = GetLastError();
    error_box(dialog, MB_ICONWARNING, "%s: ", work_folder_path);
    *text = program_text(IDS_CANNOT_CREATE_FOLDER);
    return 1;
}

int remove_work_folder(HWND dialog, const char **text)
{
    if (!work_folder_created)
        return 0;
    int result = 0;
    if (!RemoveDirectoryA(work_folder_path)) {
        run_context.last_error = GetLastError();
        error_box(dialog, MB_ICONWARNING, "%s: ", work_folder_path);
        *text = program_text(IDS_CANNOT_DELETE_FOLDER);
        result = 1;
    }
    // forgotten either way, so that a later close does not try again
    work_folder_created = 0;
    work_folder_path[0] = 0;
    return result;
}
