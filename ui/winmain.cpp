// The entry point of vanta.exe. Everything else lives in the program library,
// which the tests link without this file.
#include <windows.h>
#include "ui/dialog.h"

int WINAPI WinMain(HINSTANCE module, HINSTANCE previous, LPSTR command_line, int show_state)
{
    // the dialog reads the process's own command line
    (void)previous;
    (void)command_line;
    secure_dll_search();
    return run_program(module, show_state);
}
