// Start-up and the message loop of the window thread.
#include <windows.h>
#include <commctrl.h>
#include "ui/dialog.h"
#include "support/messages.h"

HINSTANCE instance;
GetMessageProc get_message = GetMessageA;

typedef BOOL (WINAPI *DllDirectoriesProc)(DWORD);
typedef BOOL (WINAPI *DllDirectoryProc)(LPCSTR);

void secure_dll_search(void)
{
    // A DLL another account put beside the program, or in the current
    // folder, never loads into a run with an administrator's rights: vanta
    // imports the system's known DLLs alone, and anything loaded later comes
    // from the system's folder (Windows 7 with KB2533623 and later), or at
    // least not from the current folder (Windows XP SP1 and later).
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    DllDirectoriesProc directories = (DllDirectoriesProc)(void (*)(void))(
        kernel ? GetProcAddress(kernel, "SetDefaultDllDirectories") : NULL);
    DllDirectoryProc directory = (DllDirectoryProc)(void (*)(void))(
        kernel ? GetProcAddress(kernel, "SetDllDirectoryA") : NULL);
    if (!directories || !directories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        if (directory)
            directory("");
    }
}

HWND create_main_dialog(void)
{
    // the template of the program's language: CreateDialog would take the
    // one of the thread's UI language
    HRSRC found = FindResourceExA(instance, (LPCSTR)RT_DIALOG, program_text(IDS_DIALOG_NAME), resource_language());
    HGLOBAL loaded = found ? LoadResource(instance, found) : NULL;
    LPCDLGTEMPLATEA dialog_template = loaded ? (LPCDLGTEMPLATEA)LockResource(loaded) : NULL;
    if (!dialog_template)
        return NULL;
    return CreateDialogIndirectParamA(instance, dialog_template, NULL, dialog_proc, 0);
}

int run_program(HINSTANCE module, int show_state)
{
    instance = module;
    load_texts(instance);
    // chosen before anything is said; a /lang that can't be taken is the
    // command line's to tell, in the code page's language
    choose_language(command_line_language(GetCommandLineA()));
    InitCommonControls();

    HWND dialog = create_main_dialog();
    if (!dialog) {
        run_context.last_error = GetLastError();
        fatal_system_error("CreateDialog() ");
        return 1;
    }
    ShowWindow(dialog, show_state);
    UpdateWindow(dialog);

    MSG message;
    for (;;) {
        BOOL fetched = get_message(&message, NULL, 0, 0);
        if (fetched == 0)
            return (int)message.wParam;
        if (fetched == -1) {
            run_context.last_error = GetLastError();
            fatal_system_error("GetMessage() ");
            return 1;
        }
        // Tab, the underlined letters and Esc (as Close)
        if (IsDialogMessageA(dialog, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}
