// The run's process-wide state and the abort poll.
#include "support/messages.h"

RunContext run_context;

int abort_requested(volatile LONG *abort_flag)
{
    // a fresh read every time: the window thread may have set it meanwhile
    return abort_flag ? (int)*abort_flag : 0;
}

void set_status_text(const char *text)
{
    SetDlgItemTextA(run_context.owner, run_context.status_id, text);
}
