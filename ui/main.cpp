// Start-up and the message loop of the window thread.
#include <windows.h>
#include <commctrl.h>
#include "ui/dialog.h"
#include "support/messages.h"

HINSTANCE instance;
GetMessageProc get_message = GetMessageA;

int run_program(HINSTANCE module, int show_state)
{
    instance = module;
    load_texts(instance);
    InitCommonControls();

    HWND dialog = CreateDialogParamA(instance, program_text(IDS_DIALOG_NAME), NULL,
                                     dialog_proc, 0);
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
