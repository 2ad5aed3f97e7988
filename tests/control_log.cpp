#include "control_log.h"

#include "test_helpers.h"

static const char LOG_PROPERTY[] = "vanta.test.log";

static LRESULT CALLBACK logging_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    ControlLog *log = (ControlLog *)GetPropA(window, LOG_PROPERTY);
    LRESULT result = CallWindowProcA(log->original, window, message, wparam, lparam);
    if (message == WM_SETTEXT) {
        std::string text = lparam ? (const char *)lparam : "";
        log->texts.push_back(text);
        if (log->on_text)
            log->on_text(text);
    }
    return result;
}

ControlLog::ControlLog(HWND owner, int control_id) : control(GetDlgItem(owner, control_id)), original(NULL)
{
    if (control && SetPropA(control, LOG_PROPERTY, this))
        original = (WNDPROC)SetWindowLongPtrA(control, GWLP_WNDPROC, (LONG_PTR)logging_proc);
}

ControlLog::~ControlLog()
{
    if (original)
        SetWindowLongPtrA(control, GWLP_WNDPROC, (LONG_PTR)original);
    RemovePropA(control, LOG_PROPERTY);
}

int ControlLog::count_starting(const std::string &prefix, bool whole) const
{
    int count = 0;
    for (const std::string &t : texts)
        count += t.compare(0, whole ? std::string::npos : prefix.size(), prefix) == 0;
    return count;
}

HWND create_run_window()
{
    HWND owner = create_status_window(146);
    CreateWindowExA(0, "STATIC", " ", WS_CHILD, 0, 160, 380, 20, owner, (HMENU)147, GetModuleHandleA(NULL), NULL);
    return owner;
}
