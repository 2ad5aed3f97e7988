// The work folder: derived at Start, created (or an existing one taken on the
// user's word) when the run begins, removed at its end if we created it.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "ui/work_folder.h"
#include <winioctl.h>
#include "support/messages.h"

char work_folder_path[MAX_PATH];
LONG work_folder_created;
int work_folder_ours;
GetFileAttributesProc work_folder_attributes = GetFileAttributesA;
static char link_text[STATUS_TEXT_SIZE];

// Where the last character of a path starts: a trail byte of 0x5C is part of
// its double-byte character, never a separator.
static size_t last_character(const char *path, size_t length)
{
    size_t last = 0;
    for (size_t i = 0; i < length; ++i) {
        last = i;
        if (IsDBCSLeadByte((BYTE)path[i]) && i + 1 < length)
            ++i;
    }
    return last;
}

// The folder as Windows means it: "D:" is the drive's current directory (its
// root in a fresh process), "data" lies in the current directory. Every pass
// changes the current directory, so a relative path would name another folder
// by then. A trailing separator goes: "D:\data\" and "D:\data" are one folder.
// 0, or the error code with full empty.
static DWORD absolute_folder(const char *folder, char *full, DWORD size)
{
    DWORD length = GetFullPathNameA(folder, size, full, NULL);
    if (length == 0 || length >= size) {
        DWORD code = length ? ERROR_BUFFER_OVERFLOW : GetLastError();
        full[0] = 0;
        return code ? code : ERROR_INVALID_NAME;
    }
    // "C:\" keeps its separator: without it, it would mean the current directory
    for (size_t last; length > 3; full[length = (DWORD)last] = 0) {
        last = last_character(full, length);
        if (full[last] != '\\' && full[last] != '/')
            break;
    }
    return 0;
}

int prepare_work_folder_path(HWND dialog, const char *folder, const char **text)
{
    char full[MAX_PATH * 2];

    // the mark belongs to the run it was set in
    work_folder_created = 0;
    DWORD failed = absolute_folder(folder, full, sizeof full);
    // a separator, the eight characters of the name and the zero must fit:
    // a work folder path is never cut into another name
    if (!failed && strlen(full) + 10 >= MAX_PATH)
        failed = ERROR_BUFFER_OVERFLOW;
    if (failed) {
        run_context.last_error = failed;
        error_box(dialog, MB_ICONWARNING, "%s: ", full[0] ? full : folder);
        *text = program_text(IDS_CANNOT_CREATE_FOLDER);
        return 3;
    }
    char *joined = path_join(full, WORK_FOLDER_NAME);
    snprintf(work_folder_path, sizeof work_folder_path, "%s", joined);
    free(joined);
    return 0;
}

// Work files take the compression of their folder, and a compressed zero or
// byte pattern costs the volume next to nothing: the fill would never fill it.
// So a work folder that reads as compressed is switched to plain. File
// systems without compression don't mark it so; if one answers "not
// supported" all the same, nothing is compressed there either.
// 0, or the error code of a folder that stays compressed.
static DWORD keep_work_files_uncompressed(void)
{
    DWORD attributes = work_folder_attributes(work_folder_path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_COMPRESSED))
        return 0;
    HANDLE folder = CreateFileA(work_folder_path, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (folder == INVALID_HANDLE_VALUE)
        return GetLastError();
    USHORT format = COMPRESSION_FORMAT_NONE;
    DWORD returned = 0, code = 0;
    if (!DeviceIoControl(folder, FSCTL_SET_COMPRESSION, &format, sizeof format, NULL, 0, &returned,
                         NULL))
        code = GetLastError();
    CloseHandle(folder);
    if (code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_FUNCTION)
        return 0;
    return code;
}

// The work folder is ready for the fill: 0, or 1 with the warning shown
// (the folder stays compressed) and *text string 408.
static int ready_for_work_files(HWND dialog, const char **text)
{
    DWORD code = keep_work_files_uncompressed();
    if (!code)
        return 0;
    run_context.last_error = code;
    error_box(dialog, MB_ICONWARNING, "%s: ", work_folder_path);
    *text = program_text(IDS_CANNOT_CREATE_FOLDER);
    return 1;
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
    } else if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // A junction or symbolic link: the deletion of digit-named files and
        // the fill would act in the folder it points to, maybe the user's own.
        snprintf(link_text, sizeof link_text, program_text(IDS_WORK_FOLDER_LINK), work_folder_path);
        show_message_box(dialog, link_text, MB_ICONWARNING);
        *text = link_text;
        return 1;
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && work_folder_ours) {
        // an interrupted run's, its journal says: no one else's files in it
        return ready_for_work_files(dialog, text);
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        char question[STATUS_TEXT_SIZE];
        snprintf(question, sizeof question, "%s\r\n%s\r\n%s",
                 program_text(IDS_CONTINUE_QUESTION), work_folder_path,
                 program_text(IDS_FOLDER_EXISTS));
        if (answer_yes_to_folder || show_message_box(dialog, question, MB_YESNO | MB_ICONQUESTION) == IDYES) {
            // the user's folder: it stays after the run
            work_folder_created = 0;
            return ready_for_work_files(dialog, text);
        }
        *text = program_text(IDS_CANNOT_CREATE_FOLDER);
        return 1;
    }
    // a file of that name makes the creation fail, and the user sees why
    if (CreateDirectoryA(work_folder_path, NULL)) {
        work_folder_created = 1;
        return ready_for_work_files(dialog, text);
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
