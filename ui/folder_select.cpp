// The two ways of choosing a folder besides typing it: the system's folder
// picker behind Browse, and names dropped onto the dialog.
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <objbase.h>
#include "ui/dialog.h"
#include "support/system_calls.h"
#include "steps/step_runner.h"
#include "support/messages.h"

#define BROWSE_FLAGS_CLASSIC   (BIF_RETURNONLYFSDIRS | BIF_STATUSTEXT)
#define BROWSE_FLAGS_NEW_STYLE (BIF_RETURNONLYFSDIRS | BIF_EDITBOX | BIF_VALIDATE | \
                                BIF_NEWDIALOGSTYLE)

char picked_path[MAX_PATH];
int com_initialized;
static char saved_directory[MAX_PATH];
static WCHAR picked_wide[MAX_PATH];

// A name Windows gives as UTF-16, in the ANSI code page into name (MAX_PATH
// bytes). 1, or 0 with a box naming it when a character of it has no form
// there: best-fit mapping would have named another folder ("．．" "..").
static int take_name(HWND owner, const WCHAR *wide, char *name)
{
    char text[STATUS_TEXT_SIZE];
    int lost;
    ansi_from_wide(CP_ACP, wide, -1, name, MAX_PATH, &lost);
    if (!lost)
        return 1;
    snprintf(text, sizeof text, program_text(IDS_NAME_NOT_SHOWN), name);
    show_message_box(owner, text, MB_OK | MB_ICONWARNING);
    return 0;
}

const char *browse_for_folder(HWND owner, const char *folder, const char *title)
{
    BROWSEINFOW setup;
    WCHAR wide_title[256];

    // the picker may wander the current directory about; the user's stays
    DWORD length = GetCurrentDirectoryA(sizeof saved_directory, saved_directory);
    if (length == 0 || length >= sizeof saved_directory)
        saved_directory[0] = 0;

    int new_style = new_browse_dialog();
    if (new_style == 1 && !com_initialized) {
        CoInitialize(NULL);
        com_initialized = 1;
    }

    if (!MultiByteToWideChar(CP_ACP, 0, title ? title : "select folder", -1, wide_title, 256))
        wide_title[0] = 0;
    setup.hwndOwner = owner;
    setup.pidlRoot = NULL;
    setup.pszDisplayName = picked_wide;
    setup.lpszTitle = wide_title;
    setup.ulFlags = new_style == 1 ? BROWSE_FLAGS_NEW_STYLE : BROWSE_FLAGS_CLASSIC;
    setup.lpfn = browse_callback;
    // a folder text that names nothing opens the picker where we stand
    setup.lParam = (LPARAM)(_access(folder, 0) == 0 ? folder : saved_directory);
    setup.iImage = 0;

    // a drive without a medium is the picker's to show, not the system's box
    UINT previous_mode = SetErrorMode(SEM_FAILCRITICALERRORS);
    // the picked name as Windows has it, not as best-fit mapping would spell it
    LPITEMIDLIST item = SHBrowseForFolderW(&setup);
    SetErrorMode(previous_mode);

    if (saved_directory[0])
        SetCurrentDirectoryA(saved_directory);
    if (!item)
        return NULL;

    BOOL converted = SHGetPathFromIDListW(item, picked_wide);
    CoTaskMemFree(item);
    if (!converted) {
        show_message_box(owner, "bad folder - not a part of the file system.", MB_ICONWARNING);
        return NULL;
    }
    return take_name(owner, picked_wide, picked_path) ? picked_path : NULL;
}

int CALLBACK browse_callback(HWND picker, UINT message, LPARAM param, LPARAM data)
{
    switch (message) {
    case BFFM_INITIALIZED:
        SendMessageA(picker, BFFM_SETSELECTIONA, TRUE, data);
        return 0;
    case BFFM_SELCHANGED:
        // OK only while the selection is a place in the file system
        if (SHGetPathFromIDListA((LPCITEMIDLIST)param, picked_path)) {
            SendMessageA(picker, BFFM_ENABLEOK, 1, 1);
            SendMessageA(picker, BFFM_SETSTATUSTEXTA, 0, (LPARAM)picked_path);
        } else {
            SendMessageA(picker, BFFM_ENABLEOK, 1, 0);
            SendMessageA(picker, BFFM_SETSTATUSTEXTA, 0, (LPARAM)"");
        }
        return 0;
    case BFFM_VALIDATEFAILEDA:
    case BFFM_VALIDATEFAILEDW:   // what the picker of SHBrowseForFolderW sends
        SendMessageA(picker, BFFM_ENABLEOK, 1, 0);
        return 1;   // the picker stays open
    }
    return 0;
}

int on_drop_files(HWND dialog, HDROP drop)
{
    char name[MAX_PATH];
    WCHAR wide[MAX_PATH];

    UINT count = DragQueryFileW(drop, 0xFFFFFFFF, NULL, MAX_PATH);
    for (UINT index = 0; index < count; ++index) {
        // a name the drop can't give is an empty one; one the code page
        // can't hold is refused, and the folder box keeps what it had
        wide[0] = 0;
        DragQueryFileW(drop, index, wide, MAX_PATH);
        if (!take_name(dialog, wide, name))
            continue;
        char *resolved = resolve_path(name);
        SetDlgItemTextA(dialog, IDC_FOLDER, resolved ? resolved : "");
        free(resolved);
    }
    DragFinish(drop);
    return 0;
}

// A full path that names a root: \ or /, \\, X:, X:\ or X:/.
static int is_root(const char *path)
{
    size_t length = strlen(path);
    if (length == 1)
        return path[0] == '\\' || path[0] == '/';
    if (length == 2 && path[0] == '\\' && path[1] == '\\')
        return 1;
    if ((length == 2 || length == 3) && is_ascii_alpha((unsigned char)path[0]) && path[1] == ':')
        return length == 2 || path[2] == '\\' || path[2] == '/';
    return 0;
}

char *resolve_path(const char *name)
{
    if (!name || !*name)
        return strdup("");

    size_t length = strlen(name);
    char *full = (char *)malloc(length + 262);
    if (!full)
        return NULL;
    char *file_part;
    DWORD got = GetFullPathNameA(name, (DWORD)(length + 261), full, &file_part);
    if (got == 0 || got >= length + 261) {
        lstrcpyA(full, name);
        return full;
    }
    if (is_root(full))
        return full;

    WIN32_FIND_DATAA found;
    HANDLE search = win.FindFirstFileA(full, &found);
    if (search == INVALID_HANDLE_VALUE)
        return full;

    // one level of recursion per component, from the root outwards
    char *parent = parent_path(full);
    char *resolved_parent = parent ? resolve_path(parent) : NULL;
    if (!resolved_parent) {
        win.FindClose(search);
        free(parent);
        free(full);
        return NULL;
    }
    while (strcmp(found.cFileName, ".") == 0 || strcmp(found.cFileName, "..") == 0) {
        if (!win.FindNextFileA(search, &found)) {
            win.FindClose(search);
            free(parent);
            free(resolved_parent);
            return full;
        }
    }
    char *result = path_join(resolved_parent, found.cFileName);
    win.FindClose(search);
    free(full);
    free(parent);
    free(resolved_parent);
    return result;
}
