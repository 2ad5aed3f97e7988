// Records every text a run puts into one control of its window, and lets a
// test act at the moment a given text arrives: the run's thread waits inside
// SetDlgItemTextA until the test's handler returns.
#ifndef VANTA_TESTS_CONTROL_LOG_H
#define VANTA_TESTS_CONTROL_LOG_H

#include <windows.h>
#include <functional>
#include <string>
#include <vector>

struct ControlLog {
    ControlLog(HWND owner, int control_id);
    ~ControlLog();
    bool saw(const std::string &text) const { return count_starting(text, true) > 0; }
    int count_starting(const std::string &prefix, bool whole = false) const;
    std::vector<std::string> texts;
    std::function<void(const std::string &)> on_text;
    HWND control;
    WNDPROC original;
};

// The dialog's stand-in: status box 146 (an edit control) and step label 147.
HWND create_run_window();

#endif
