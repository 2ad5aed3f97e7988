// Message boxes and status texts with the system's error text appended.
#include "support/messages.h"

MessageBoxProc message_box_proc = MessageBoxA;

int show_message_box(HWND owner, const char *text, UINT style)
{
    return message_box_proc(owner, text, PROGRAM_NAME, style);
}
