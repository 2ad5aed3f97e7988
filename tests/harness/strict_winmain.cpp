// vanta.exe with every system call held to Windows' rules (tests/strict_windows.h):
// what Windows would refuse is refused, and each refusal is written to the
// file VANTA_STRICT_LOG names. VANTA_STRICT_TOKEN=filtered or standard runs
// it with an administrator's token without elevation, or a standard user's.
#include <windows.h>
#include <stdlib.h>
#include <string.h>
#include "strict_windows.h"
#include "ui/dialog.h"

int WINAPI WinMain(HINSTANCE module, HINSTANCE previous, LPSTR command_line, int show_state)
{
    (void)previous;
    (void)command_line;
    const char *log = getenv("VANTA_STRICT_LOG"), *token = getenv("VANTA_STRICT_TOKEN");
    strict_log_path = log ? log : "";
    strict_token = token && !strcmp(token, "filtered")   ? TOKEN_FILTERED_ADMINISTRATOR
                   : token && !strcmp(token, "standard") ? TOKEN_STANDARD_USER
                                                        : TOKEN_ELEVATED_ADMINISTRATOR;
    strict_windows_install();
    secure_dll_search();
    return run_program(module, show_state);
}
